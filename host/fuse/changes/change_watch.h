#pragma once

#include "host/fuse/requests/operation_context.h"

#include <chrono>
#include <memory>
#include <thread>

namespace brindle {
struct ChangeNotice;
}

namespace brindle::host {

// Keeps one "wait_for_changes" outstanding on the mount's current connection, when its server
// advertises change notices, and turns each answer into the kernel's invalidations. Its own
// thread waits for the answers, so no request of the kernel's and no reader of the client ever
// waits for the kernel on its behalf. Across a reconnect it follows the new connection and drops
// everything once, since the changes made meanwhile were told to nobody.
class ChangeWatch {
public:
    // `wait`: how long the server may hold each call while nothing changes.
    ChangeWatch(std::shared_ptr<OperationContext> context, std::chrono::milliseconds wait);
    // Stops; the call still outstanding is answered to nobody.
    ~ChangeWatch();
    ChangeWatch(const ChangeWatch&) = delete;
    ChangeWatch& operator=(const ChangeWatch&) = delete;

    // Once it returns, no more invalidations come from here.
    void stop();

private:
    struct State;
    void run();
    // False when the watch stopped first.
    bool pause(std::chrono::milliseconds length);
    void apply(const ChangeNotice& notice, uint64_t generation);
    void forgetEverything();

    const std::shared_ptr<OperationContext> context_;
    const std::chrono::milliseconds wait_;
    const std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace brindle::host
