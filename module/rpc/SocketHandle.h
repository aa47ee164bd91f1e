#pragma once

#include "protocol/tls/tunnel.h"

#include <atomic>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace brindle {

// A connected socket shared by the client, the socket's reader and the writes queued for it.
// The descriptor is closed only when the last of them lets go, so its number cannot be handed to
// a newer socket while anyone of this socket's generation can still touch it. For a TLS
// connection the descriptor is the plain end of its tunnel, which ends with it.
class SocketHandle {
public:
    explicit SocketHandle(int fd, std::unique_ptr<tls::Tunnel> tunnel = nullptr) : fd_(fd), tunnel_(std::move(tunnel)) {}
    ~SocketHandle() { ::close(fd_); }
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;

    int fd() const { return fd_; }
    // Closing alone does not wake a reader blocked on Linux; shutting down does.
    void shutDown() {
        if (!shutDown_.exchange(true)) ::shutdown(fd_, SHUT_RDWR);
    }
    bool isShutDown() const { return shutDown_.load(); }

private:
    int fd_;
    std::atomic<bool> shutDown_{false};
    // Destroyed after the descriptor is closed.
    std::unique_ptr<tls::Tunnel> tunnel_;
};

}  // namespace brindle
