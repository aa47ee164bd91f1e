#pragma once

#include "module/rpc/BrindleRPCClient.h"

namespace brindle {

// Holds the client's lock. Letting go of it hands the completions made due meanwhile to the
// callback queue, so that none runs with the lock held, and lets a thread that took the writer
// role write the send list.
class BrindleRPCClient::StateLock {
public:
    // Where a claimed writer role is served. A reader never writes itself: blocked in a write, it
    // could not read the replies that a server, itself blocked writing them, waits to get rid of.
    enum class Writes { OnThisThread, OnWriterQueue };

    explicit StateLock(BrindleRPCClient& client, Writes writes = Writes::OnThisThread)
        : client_(client), lock_(client.stateMutex), writes_(writes) {}
    ~StateLock() { unlock(); }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

    void lock() { lock_.lock(); }
    void unlock() {
        if (!lock_.owns_lock()) return;
        auto due = std::exchange(client_.completionsDue, {});
        const bool write = std::exchange(client_.writerClaimed, false);
        lock_.unlock();
        for (dispatch::WorkItem& completion : due) client_.callbackQueue.async(std::move(completion));
        if (!write) return;
        if (writes_ == Writes::OnThisThread) {
            client_.drainSendList(false);
        } else {
            client_.writerQueue.async([self = client_.shared_from_this()] { self->drainSendList(true); });
        }
    }

private:
    BrindleRPCClient& client_;
    std::unique_lock<std::mutex> lock_;
    Writes writes_;
};

}  // namespace brindle
