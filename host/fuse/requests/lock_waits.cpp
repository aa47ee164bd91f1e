#include "host/fuse/requests/lock_waits.h"

#include <algorithm>

namespace brindle::host {

LockWaits::LockWaits(Clock::duration check) : check_(check) {}

LockWaits::~LockWaits() { stop(); }

void LockWaits::add(Waiter waiter) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->stopped) return;
        state_->waiters.push_back(std::move(waiter));
        if (!state_->started) {
            state_->started = true;
            thread_ = std::thread([state = state_, check = check_] { run(state, check); });
        }
    }
    state_->wake.notify_all();
}

void LockWaits::stop() {
    std::list<Waiter> dropped;
    std::thread thread;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopped = true;
        dropped.swap(state_->waiters);
        thread.swap(thread_);
    }
    state_->wake.notify_all();
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
    } else {
        thread.join();
    }
}

void LockWaits::run(const std::shared_ptr<State>& state, Clock::duration check) {
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->wake.wait(lock, [&] { return state->stopped || !state->waiters.empty(); });
        if (state->stopped) return;
        const auto earliest = std::min_element(state->waiters.begin(), state->waiters.end(),
                                               [](const Waiter& a, const Waiter& b) { return a.due < b.due; });
        state->wake.wait_until(lock, std::min(earliest->due, Clock::now() + check));
        if (state->stopped) return;
        // Each is looked at and run without the lock: a retry may add its waiter again, and
        // givenUp takes the request's own lock.
        std::list<Waiter> looked;
        looked.swap(state->waiters);
        lock.unlock();
        const auto now = Clock::now();
        for (auto it = looked.begin(); it != looked.end();) {
            if (it->givenUp()) {
                it->abandon();
            } else if (it->due <= now) {
                it->retry();
            } else {
                ++it;
                continue;
            }
            it = looked.erase(it);
        }
        lock.lock();
        if (state->stopped) {
            // What is left goes without the lock: the last reference to what owns it may be
            // among them.
            lock.unlock();
            return;
        }
        state->waiters.splice(state->waiters.end(), looked);
    }
}

}  // namespace brindle::host
