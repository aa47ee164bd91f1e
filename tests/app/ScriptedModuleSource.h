#pragma once

#include "InstalledModuleSource.h"

#include <mutex>
#include <thread>
#include <vector>

namespace orvel::testing {

// Holds every query until the test answers it, from the test's thread or another one.
class ScriptedModuleSource final : public InstalledModuleSource {
public:
    void fetchInstalledExtensionsWithCompletionHandler(InstalledExtensionsHandler completionHandler) override {
        std::lock_guard lock(mutex_);
        ++fetchCount_;
        pending_.push_back(std::move(completionHandler));
    }

    int fetchCount() const {
        std::lock_guard lock(mutex_);
        return fetchCount_;
    }

    // Answers the oldest outstanding query; false when none is outstanding.
    bool answer(std::optional<ModuleList> modules, std::optional<ModuleQueryError> error = std::nullopt) {
        InstalledExtensionsHandler handler = takeOldest();
        if (!handler) {
            return false;
        }
        handler(std::move(modules), std::move(error));
        return true;
    }

    bool answerFromAnotherThread(std::optional<ModuleList> modules,
                                 std::optional<ModuleQueryError> error = std::nullopt) {
        InstalledExtensionsHandler handler = takeOldest();
        if (!handler) {
            return false;
        }
        std::thread([&] { handler(std::move(modules), std::move(error)); }).join();
        return true;
    }

private:
    InstalledExtensionsHandler takeOldest() {
        std::lock_guard lock(mutex_);
        if (pending_.empty()) {
            return {};
        }
        InstalledExtensionsHandler handler = std::move(pending_.front());
        pending_.erase(pending_.begin());
        return handler;
    }

    mutable std::mutex mutex_;
    int fetchCount_ = 0;
    std::vector<InstalledExtensionsHandler> pending_;
};

} // namespace orvel::testing
