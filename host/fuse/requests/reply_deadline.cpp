#include "host/fuse/requests/reply_deadline.h"

#include "platform/log/log.h"

#include <vector>

namespace brindle::host {

bool PendingReply::deliver(const std::function<void()>& answer) {
    {
        std::lock_guard lock(mutex_);
        if (answered_) return false;
        answered_ = true;
        answer();
    }
    if (auto deadline = deadline_.lock()) deadline->finished(id_);
    return true;
}

bool PendingReply::whileUnanswered(const std::function<void()>& look) const {
    std::lock_guard lock(mutex_);
    if (answered_) return false;
    look();
    return true;
}

bool PendingReply::answered() const {
    std::lock_guard lock(mutex_);
    return answered_;
}

std::shared_ptr<ReplyDeadline> ReplyDeadline::create(Clock::duration bound, Clock::duration sweepInterval) {
    std::shared_ptr<ReplyDeadline> deadline(new ReplyDeadline(bound, sweepInterval));
    deadline->sweeper_ = std::thread([raw = deadline.get()] { raw->sweep(); });
    return deadline;
}

ReplyDeadline::ReplyDeadline(Clock::duration bound, Clock::duration sweepInterval)
    : bound_(bound), sweepInterval_(sweepInterval) {}

ReplyDeadline::~ReplyDeadline() { close(); }

std::shared_ptr<PendingReply> ReplyDeadline::track(Expire expire) {
    std::lock_guard lock(mutex_);
    const auto due = bound_ == Clock::duration::zero() ? Clock::time_point::max() : Clock::now() + bound_;
    std::shared_ptr<PendingReply> reply(new PendingReply(nextID_++, due));
    if (closed_) {
        reply->answered_ = true;
        return reply;
    }
    reply->deadline_ = weak_from_this();
    tracked_.emplace(reply->id_, Tracked{reply, std::move(expire)});
    return reply;
}

void ReplyDeadline::finished(uint64_t id) {
    std::lock_guard lock(mutex_);
    tracked_.erase(id);
}

size_t ReplyDeadline::outstanding() const {
    std::lock_guard lock(mutex_);
    return tracked_.size();
}

void ReplyDeadline::close() {
    std::vector<std::shared_ptr<PendingReply>> remaining;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        for (auto& [id, tracked] : tracked_) remaining.push_back(std::move(tracked.reply));
        tracked_.clear();
    }
    wake_.notify_all();
    // Taking each reply's lock waits out an answer being given right now.
    for (const auto& reply : remaining) {
        std::lock_guard lock(reply->mutex_);
        reply->answered_ = true;
    }
    if (sweeper_.joinable() && sweeper_.get_id() != std::this_thread::get_id()) sweeper_.join();
}

void ReplyDeadline::sweep() {
    std::unique_lock lock(mutex_);
    while (!closed_) {
        wake_.wait_for(lock, sweepInterval_, [this] { return closed_; });
        if (closed_) break;
        const auto now = Clock::now();
        std::vector<Tracked> expired;
        for (auto it = tracked_.begin(); it != tracked_.end();) {
            if (it->second.reply->due_ > now) break;
            expired.push_back(std::move(it->second));
            it = tracked_.erase(it);
        }
        lock.unlock();
        for (const auto& [reply, expire] : expired) {
            if (reply->deliver(expire)) {
                logging::info("orvel: request failed after {:g} s without an answer from the server",
                              std::chrono::duration<double>(bound_).count());
            }
        }
        lock.lock();
    }
}

}  // namespace brindle::host
