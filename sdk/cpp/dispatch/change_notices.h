#pragma once

#include "brindle/records.h"
#include "sdk/cpp/dispatch/pending_changes.h"
#include "sdk/cpp/dispatch/request.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace brindle::sdk {

// What each connection that asks for change notices has not been told yet, and the one
// "wait_for_changes" per connection the server holds while there is nothing to tell. A held
// request occupies no worker: whoever records the next change for it, or the timer, answers it.
// Safe from any thread; no answer is given with its lock held.
class ChangeNotices {
public:
    using Clock = std::chrono::steady_clock;
    // Sends the reply of a held request; called exactly once per wait.
    using Answer = std::function<void(Reply)>;
    struct Change {
        std::vector<NodeId> nodes;
        std::vector<PendingChanges::Entry> entries;
    };

    ChangeNotices(size_t pendingLimit, Clock::duration longestWait);
    ~ChangeNotices();
    ChangeNotices(const ChangeNotices&) = delete;
    ChangeNotices& operator=(const ChangeNotices&) = delete;

    // Records `change` for every connection that asks for notices except `origin` (none: a change
    // behind the server's back, which every one of them hears of).
    void changed(std::optional<uint64_t> origin, const Change& change);
    // Every connection hears that anything may have changed.
    void everythingChanged();
    // Whether any connection asks for notices.
    bool listening() const;
    // Answers at once when something is pending for the connection or `wait` is zero, else holds
    // the request up to `wait` (at most the longest wait). A connection's earlier held request is
    // answered empty: each has one at a time.
    void wait(uint64_t connection, Clock::duration wait, Answer answer);
    // Answers the connection's held request empty and forgets it.
    void connectionEnded(uint64_t connection);

    static Reply replyFor(PendingChanges::Batch batch);

private:
    struct Listener {
        explicit Listener(size_t limit) : pending(limit) {}
        PendingChanges pending;
        Answer held;
        Clock::time_point due;
    };
    void expireDue();
    // Answers the held requests that now have something to tell; with the lock held, it collects
    // them for the caller to answer once the lock is let go.
    void collectDue(std::vector<std::pair<Answer, PendingChanges::Batch>>& due);

    const size_t pendingLimit_;
    const Clock::duration longestWait_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::unordered_map<uint64_t, Listener> listeners_;
    bool stopping_ = false;
    std::thread timer_;
};

}  // namespace brindle::sdk
