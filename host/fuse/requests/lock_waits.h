#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace brindle::host {

// Locks that wait for another owner's lock to go, each asked for again from this one thread a
// pause apart rather than from a thread of the kernel session: a waiter then holds none of the
// session's threads, so however many wait, the mount goes on answering (the close that lets the
// lock go among the rest) and reads the kernel's interrupts as they come.
class LockWaits {
public:
    using Clock = std::chrono::steady_clock;
    struct Waiter {
        Clock::time_point due;
        // Looked at every check until `due`; once true the wait ends with `abandon`, not `retry`.
        std::function<bool()> givenUp;
        std::function<void()> retry;
        std::function<void()> abandon;
    };

    explicit LockWaits(Clock::duration check = std::chrono::milliseconds(10));
    ~LockWaits();
    LockWaits(const LockWaits&) = delete;
    LockWaits& operator=(const LockWaits&) = delete;

    // Dropped without a word once stopped.
    void add(Waiter waiter);
    // Drops every waiter unanswered, for a session that is ending; none runs once it returns
    // (unless called from one).
    void stop();

private:
    // Shared with the thread, which may outlive this object when a waiter it ran held the last
    // reference to what owns it.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::list<Waiter> waiters;
        bool stopped = false;
        bool started = false;
    };
    static void run(const std::shared_ptr<State>& state, Clock::duration check);

    const Clock::duration check_;
    const std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread thread_;  // guarded by the state's mutex
};

}  // namespace brindle::host
