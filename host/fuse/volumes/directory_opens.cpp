#include "host/fuse/volumes/directory_opens.h"

namespace brindle::host {

void DirectoryOpens::acquire(uint64_t inode, Start open, Done done) {
    std::unique_lock lock(mutex_);
    State& state = states_[inode];
    if (state.busy) {
        state.waiting.push_back([this, inode, open = std::move(open), done = std::move(done)]() mutable {
            acquire(inode, std::move(open), std::move(done));
        });
        return;
    }
    if (state.open) {
        ++state.users;
        lock.unlock();
        done(std::nullopt);
        return;
    }
    state.busy = true;
    lock.unlock();
    open([this, inode, done = std::move(done)](std::optional<foundation::Error> error) {
        {
            std::lock_guard lock(mutex_);
            State& state = states_[inode];
            state.busy = false;
            if (!error) {
                state.open = true;
                ++state.users;
            }
        }
        done(std::move(error));
        runNext(inode);
    });
}

void DirectoryOpens::release(uint64_t inode, Start close, Done done) {
    std::unique_lock lock(mutex_);
    State& state = states_[inode];
    if (state.busy) {
        state.waiting.push_back([this, inode, close = std::move(close), done = std::move(done)]() mutable {
            release(inode, std::move(close), std::move(done));
        });
        return;
    }
    if (state.users > 1 || !state.open) {
        if (state.users > 0) --state.users;
        lock.unlock();
        done(std::nullopt);
        return;
    }
    state.users = 0;
    state.busy = true;
    lock.unlock();
    close([this, inode, done = std::move(done)](std::optional<foundation::Error> error) {
        {
            std::lock_guard lock(mutex_);
            State& state = states_[inode];
            state.busy = false;
            // A failed close leaves nobody using the handle either; the next open asks for a fresh one.
            state.open = false;
        }
        done(std::move(error));
        runNext(inode);
    });
}

void DirectoryOpens::runNext(uint64_t inode) {
    for (;;) {
        std::function<void()> next;
        {
            std::lock_guard lock(mutex_);
            const auto found = states_.find(inode);
            if (found == states_.end()) return;
            State& state = found->second;
            if (state.busy) return;
            if (state.waiting.empty()) {
                if (!state.open && state.users == 0) states_.erase(found);
                return;
            }
            next = std::move(state.waiting.front());
            state.waiting.pop_front();
        }
        next();
    }
}

size_t DirectoryOpens::usersOf(uint64_t inode) const {
    std::lock_guard lock(mutex_);
    const auto found = states_.find(inode);
    return found == states_.end() ? 0 : found->second.users;
}

}  // namespace brindle::host
