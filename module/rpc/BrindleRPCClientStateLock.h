#pragma once

#include "module/rpc/BrindleRPCClient.h"

namespace brindle {

// Holds the client's lock. Letting go of it hands the completions made due meanwhile to the
// callback queue, so that none runs with the lock held, and serves a writer role that the holder
// took.
class BrindleRPCClient::StateLock {
public:
    explicit StateLock(BrindleRPCClient& client) : client_(client), lock_(client.stateMutex) {}
    ~StateLock() { unlock(); }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

    void lock() { lock_.lock(); }
    void unlock() {
        if (!lock_.owns_lock()) return;
        auto due = std::exchange(client_.completionsDue, {});
        const bool write = std::exchange(client_.writerClaimed, false);
        lock_.unlock();
        // One work item each: a completion may wait for another (a caller bounded by a
        // semaphore), so none may wait behind another.
        for (dispatch::WorkItem& completion : due) client_.callbackQueue.async(std::move(completion));
        if (write) client_.serveWriterRole();
    }

private:
    BrindleRPCClient& client_;
    std::unique_lock<std::mutex> lock_;
};

}  // namespace brindle
