#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>

namespace brindle::host {

// Waits for a completion that the module calls once from its callback queue. The promise is
// shared so that a completion arriving after the wait gave up still has somewhere to go.
template <typename T>
class Awaited {
public:
    Awaited() : promise_(std::make_shared<std::promise<T>>()), future_(promise_->get_future()) {}
    std::function<void(T)> completion() {
        return [promise = promise_](T value) { promise->set_value(std::move(value)); };
    }
    // Waits at most `bound` (zero: for ever) and gives up early once `givingUp` says so.
    std::optional<T> wait(std::chrono::milliseconds bound, const std::function<bool()>& givingUp) {
        using namespace std::chrono_literals;
        const auto giveUp = std::chrono::steady_clock::now() + bound;
        while (!givingUp()) {
            auto slice = std::chrono::steady_clock::duration(50ms);
            if (bound != 0ms) {
                const auto left = giveUp - std::chrono::steady_clock::now();
                if (left <= 0ms) return std::nullopt;
                slice = std::min(slice, left);
            }
            if (future_.wait_for(slice) == std::future_status::ready) return future_.get();
        }
        return std::nullopt;
    }

private:
    std::shared_ptr<std::promise<T>> promise_;
    std::future<T> future_;
};

}  // namespace brindle::host
