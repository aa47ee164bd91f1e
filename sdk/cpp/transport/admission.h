#pragma once

#include "sdk/cpp/transport/listener.h"
#include "sdk/cpp/transport/pending_handshake.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <unordered_map>

namespace brindle::sdk {

// The door: accepts connections and holds each until its handshake, on one thread for all of
// them. A stranger gets a deadline, a small frame limit and a place among a bounded number of
// others; when the places run out the oldest stranger goes, so that a crowd of idle peers
// delays the token holder by at most one handshake and never takes an authenticated client's slot.
class Admission {
public:
    struct Limits {
        size_t maxPending = 1024;
        std::chrono::milliseconds deadline{10'000};
    };
    struct Callbacks {
        // Whether an authenticated client can be served now.
        std::function<bool()> hasRoom;
        // Takes over an authenticated client's socket, which is blocking again by then.
        std::function<void(UniqueFd socket)> admit;
    };

    Admission(const Listener& listener, const SessionSecrets& secrets, Limits limits, Callbacks callbacks);
    ~Admission();
    Admission(const Admission&) = delete;
    Admission& operator=(const Admission&) = delete;

    // Accepts and judges handshakes until `stop`; the connections still pending are closed then.
    void run();
    // Safe from any thread.
    void stop();

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        PendingHandshake handshake;
        Clock::time_point deadline;
        uint64_t key;
    };
    using Queue = std::list<Pending>;  // oldest first, which is also the order of the deadlines

    void acceptWaiting();
    void readFrom(Queue::iterator pending);
    void drop(Queue::iterator pending);
    void dropExpired();
    int millisecondsToNextDeadline() const;
    void watchListener(bool watch);

    const Listener& listener_;
    const SessionSecrets& secrets_;
    const Limits limits_;
    const Callbacks callbacks_;
    UniqueFd epoll_;
    UniqueFd wake_;
    Queue pending_;
    std::unordered_map<uint64_t, Queue::iterator> byKey_;
    uint64_t nextKey_ = 0;
    std::optional<Clock::time_point> acceptPausedUntil_;
};

}  // namespace brindle::sdk
