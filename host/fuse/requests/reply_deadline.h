#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace brindle::host {

// One kernel request that waits for the volume. Exactly one answer goes out: the volume's, or
// the deadline's error when the volume has not answered in time; whatever comes later is dropped.
class PendingReply {
public:
    // Runs `answer` unless the request was already answered; true when it ran.
    bool deliver(const std::function<void()>& answer);
    bool answered() const;
    // Runs `look` while the request is unanswered, so that what it reads of the request is still
    // there; false, without running it, once answered.
    bool whileUnanswered(const std::function<void()>& look) const;

private:
    friend class ReplyDeadline;
    PendingReply(uint64_t id, std::chrono::steady_clock::time_point due) : id_(id), due_(due) {}

    const uint64_t id_;
    const std::chrono::steady_clock::time_point due_;
    mutable std::mutex mutex_;
    bool answered_ = false;
    std::weak_ptr<class ReplyDeadline> deadline_;
};

// The bound on how long a kernel request waits for the volume: the protocol has no timeouts, so a
// server that keeps its socket open but stops answering would otherwise hang every caller. One
// sweeper thread checks the oldest requests; tracking a request costs a map insertion.
class ReplyDeadline : public std::enable_shared_from_this<ReplyDeadline> {
public:
    using Clock = std::chrono::steady_clock;
    // Answers a request that ran out of time.
    using Expire = std::function<void()>;

    // A bound of zero lets requests wait for ever.
    static std::shared_ptr<ReplyDeadline> create(Clock::duration bound, Clock::duration sweepInterval);
    ~ReplyDeadline();
    ReplyDeadline(const ReplyDeadline&) = delete;
    ReplyDeadline& operator=(const ReplyDeadline&) = delete;

    std::shared_ptr<PendingReply> track(Expire expire);
    // Marks every outstanding request answered and stops the sweeper; once it returns no answer
    // is being given or will be (the session they belong to is going away).
    void close();
    size_t outstanding() const;

private:
    ReplyDeadline(Clock::duration bound, Clock::duration sweepInterval);
    void sweep();
    void finished(uint64_t id);

    friend class PendingReply;
    struct Tracked {
        std::shared_ptr<PendingReply> reply;  // held so that a dropped completion still gets its error
        Expire expire;
    };

    const Clock::duration bound_;
    const Clock::duration sweepInterval_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::map<uint64_t, Tracked> tracked_;  // by id; ids grow with the due time
    uint64_t nextID_ = 1;
    bool closed_ = false;
    std::thread sweeper_;
};

}  // namespace brindle::host
