#pragma once

#include "protocol/tls/tunnel.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace brindle {

// A connected socket shared by the client, the socket's reader and the writes queued for it.
// The descriptor is closed only when the last of them lets go, so its number cannot be handed to
// a newer socket while anyone of this socket's generation can still touch it. For a TLS
// connection the descriptor is the plain end of its tunnel, which ends with it.
// Beside it, a timer for frames held back to go out with the next one: the socket's reader
// watches it and sends them when it rings.
class SocketHandle {
public:
    explicit SocketHandle(int fd, std::unique_ptr<tls::Tunnel> tunnel = nullptr)
        : fd_(fd), holdTimer_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)), tunnel_(std::move(tunnel)) {}
    ~SocketHandle() {
        ::close(fd_);
        if (holdTimer_ >= 0) ::close(holdTimer_);
    }
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;

    int fd() const { return fd_; }
    // Closing alone does not wake a reader blocked on Linux; shutting down does.
    void shutDown() {
        if (!shutDown_.exchange(true)) ::shutdown(fd_, SHUT_RDWR);
    }
    bool isShutDown() const { return shutDown_.load(); }

    // -1 where no timer could be made: nothing is held back then.
    int holdTimer() const { return holdTimer_; }
    // Sets the timer to ring once after `delay`; zero stops it. False where it could not be set.
    bool setHoldTimer(std::chrono::microseconds delay) const {
        itimerspec when{};
        when.it_value.tv_sec = static_cast<time_t>(delay.count() / 1000000);
        when.it_value.tv_nsec = static_cast<long>(delay.count() % 1000000 * 1000);
        return holdTimer_ >= 0 && ::timerfd_settime(holdTimer_, 0, &when, nullptr) == 0;
    }
    // Makes a timer that rang unreadable again.
    void clearHoldTimer() const {
        uint64_t expirations = 0;
        [[maybe_unused]] const auto ignored = ::read(holdTimer_, &expirations, sizeof expirations);
    }

private:
    int fd_;
    int holdTimer_;
    std::atomic<bool> shutDown_{false};
    // Destroyed after the descriptor is closed.
    std::unique_ptr<tls::Tunnel> tunnel_;
};

}  // namespace brindle
