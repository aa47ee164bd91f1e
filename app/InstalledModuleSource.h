#pragma once

#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace orvel {

// The check that keeps an installed module from serving file systems, and the file it concerns.
struct DisabledReason {
    enum class Check {
        programNotNamed,
        programNotRunnable,
        deviceMissing,
        deviceRefused,
        mountHelperMissing,
        mountHelperNotSetUserIdRoot,
    };
    Check check;
    QString path;

    friend bool operator==(const DisabledReason&, const DisabledReason&) = default;
};

// One installed file-system module as the platform lists it.
struct ModuleIdentity {
    QString bundleIdentifier;
    bool isEnabled = false;
    // Why it is not enabled, where the source can tell.
    std::optional<DisabledReason> disabledReason;

    friend bool operator==(const ModuleIdentity&, const ModuleIdentity&) = default;
};

using ModuleList = QList<ModuleIdentity>;

struct ModuleQueryError {
    QString message;
};

// Receives the installed modules or the error that stopped the query; may run on any thread.
using InstalledExtensionsHandler =
    std::function<void(std::optional<ModuleList> modules, std::optional<ModuleQueryError> error)>;

// The platform's listing of installed file-system modules.
class InstalledModuleSource {
public:
    virtual ~InstalledModuleSource() = default;

    // Calls the handler exactly once, in the platform's order of the modules.
    virtual void fetchInstalledExtensionsWithCompletionHandler(InstalledExtensionsHandler completionHandler) = 0;
};

} // namespace orvel
