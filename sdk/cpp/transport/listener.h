#pragma once

#include "platform/foundation/error.h"
#include "brindle/unique_fd.h"

#include <string>

namespace brindle::sdk {

// Whether a server answers at `endpoint`, a Unix socket path or "tcp://HOST:PORT" as a session
// file names it. A refused connection, a missing socket file or an endpoint that names no
// address (an overlong path, a host that is not a numeric address) counts as nobody there;
// a server too busy to accept, or one that neither accepts nor refuses within a second, as alive.
bool serverAnswers(const std::string& endpoint);

// The listening socket: "unix:PATH" (mode 0600) or "tcp://HOST:PORT".
class Listener {
public:
    // A TCP address that is not loopback is refused unless `allowRemote`.
    static foundation::Result<Listener> listen(const std::string& endpoint, bool allowRemote);

    Listener(Listener&&) = default;
    Listener& operator=(Listener&&) = default;
    ~Listener() { close(); }

    // The endpoint as the session file names it: a socket path, or "tcp://HOST:PORT" with the real port.
    const std::string& endpoint() const { return endpoint_; }
    bool isRemote() const { return remote_; }

    int fd() const { return fd_.get(); }
    // The next waiting connection, non-blocking like the listening socket, or an invalid
    // descriptor when none waits. Fails when the process is out of descriptors.
    foundation::Result<UniqueFd> accept() const;
    // Closes the socket and removes a Unix socket's file.
    void close();

private:
    Listener(UniqueFd fd, std::string endpoint, std::string unixPath, bool remote)
        : fd_(std::move(fd)), endpoint_(std::move(endpoint)), unixPath_(std::move(unixPath)), remote_(remote) {}

    UniqueFd fd_;
    std::string endpoint_;
    std::string unixPath_;  // removed when the listener goes
    bool remote_ = false;
};

}  // namespace brindle::sdk
