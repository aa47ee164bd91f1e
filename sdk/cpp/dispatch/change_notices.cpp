#include "sdk/cpp/dispatch/change_notices.h"

#include "protocol/wire.h"

#include <algorithm>

namespace brindle::sdk {

namespace key = wire::key;

ChangeNotices::ChangeNotices(size_t pendingLimit, Clock::duration longestWait)
    : pendingLimit_(pendingLimit), longestWait_(longestWait), timer_([this] { expireDue(); }) {}

ChangeNotices::~ChangeNotices() {
    std::vector<Answer> held;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& [connection, listener] : listeners_) {
            if (listener.held) held.push_back(std::move(listener.held));
        }
        listeners_.clear();
    }
    wake_.notify_all();
    timer_.join();
    for (auto& answer : held) answer(replyFor({}));
}

Reply ChangeNotices::replyFor(PendingChanges::Batch batch) {
    Reply reply = okReply();
    if (batch.everything) reply.object[key::everythingChanged] = true;
    if (!batch.nodes.empty()) reply.object[key::changedNodes] = boost::json::array(batch.nodes.begin(), batch.nodes.end());
    if (!batch.entries.empty()) {
        boost::json::array parents;
        boost::json::array names;
        for (auto& entry : batch.entries) {
            parents.emplace_back(entry.parent);
            names.emplace_back(std::move(entry.name));
        }
        reply.object[key::changedEntryParents] = std::move(parents);
        reply.object[key::changedEntryNames] = std::move(names);
    }
    return reply;
}

void ChangeNotices::changed(std::optional<uint64_t> origin, const Change& change) {
    std::vector<std::pair<Answer, PendingChanges::Batch>> due;
    {
        std::lock_guard lock(mutex_);
        for (auto& [connection, listener] : listeners_) {
            if (origin && *origin == connection) continue;
            for (const NodeId node : change.nodes) listener.pending.nodeChanged(node);
            for (const auto& entry : change.entries) listener.pending.entryChanged(entry.parent, entry.name);
        }
        collectDue(due);
    }
    for (auto& [answer, batch] : due) answer(replyFor(std::move(batch)));
}

void ChangeNotices::everythingChanged() {
    std::vector<std::pair<Answer, PendingChanges::Batch>> due;
    {
        std::lock_guard lock(mutex_);
        for (auto& [connection, listener] : listeners_) listener.pending.everythingChanged();
        collectDue(due);
    }
    for (auto& [answer, batch] : due) answer(replyFor(std::move(batch)));
}

bool ChangeNotices::listening() const {
    std::lock_guard lock(mutex_);
    return !listeners_.empty();
}

void ChangeNotices::collectDue(std::vector<std::pair<Answer, PendingChanges::Batch>>& due) {
    for (auto& [connection, listener] : listeners_) {
        if (listener.held && !listener.pending.empty()) {
            due.emplace_back(std::move(listener.held), listener.pending.take());
            listener.held = nullptr;
        }
    }
}

void ChangeNotices::wait(uint64_t connection, Clock::duration wait, Answer answer) {
    Answer replaced;
    std::optional<PendingChanges::Batch> now;
    bool rearmed = false;
    {
        std::lock_guard lock(mutex_);
        auto& listener = listeners_.try_emplace(connection, pendingLimit_).first->second;
        replaced = std::move(listener.held);
        listener.held = nullptr;
        if (!listener.pending.empty() || wait <= Clock::duration::zero() || stopping_) {
            now = listener.pending.take();
        } else {
            listener.held = std::move(answer);
            listener.due = Clock::now() + std::min(wait, longestWait_);
            rearmed = true;
        }
    }
    if (rearmed) wake_.notify_all();
    if (replaced) replaced(replyFor({}));
    if (now) answer(replyFor(std::move(*now)));
}

void ChangeNotices::connectionEnded(uint64_t connection) {
    Answer held;
    {
        std::lock_guard lock(mutex_);
        const auto found = listeners_.find(connection);
        if (found == listeners_.end()) return;
        held = std::move(found->second.held);
        listeners_.erase(found);
    }
    if (held) held(replyFor({}));
}

void ChangeNotices::expireDue() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        std::vector<Answer> expired;
        std::optional<Clock::time_point> next;
        const auto now = Clock::now();
        for (auto& [connection, listener] : listeners_) {
            if (!listener.held) continue;
            if (listener.due <= now) {
                expired.push_back(std::move(listener.held));
                listener.held = nullptr;
            } else if (!next || listener.due < *next) {
                next = listener.due;
            }
        }
        if (!expired.empty()) {
            lock.unlock();
            for (auto& answer : expired) answer(replyFor({}));
            lock.lock();
            continue;
        }
        if (next) {
            wake_.wait_until(lock, *next);
        } else {
            wake_.wait(lock);
        }
    }
}

}  // namespace brindle::sdk
