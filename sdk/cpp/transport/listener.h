#pragma once

#include "platform/foundation/error.h"
#include "brindle/unique_fd.h"
#include "protocol/tls/server_credentials.h"
#include "protocol/tls/tunnel.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace brindle::sdk {

// Whether a server answers at `endpoint`, a Unix socket path, "tls://" or "tcp://HOST:PORT" as a session
// file names it. A refused connection, a missing socket file or an endpoint that names no
// address (an overlong path, a host that is not a numeric address) counts as nobody there;
// a server too busy to accept, or one that neither accepts nor refuses within a second, as alive.
bool serverAnswers(const std::string& endpoint);

// The listening socket: "unix:PATH" (mode 0600), "tls://HOST:PORT" or "tcp://HOST:PORT". Over
// tls:// every accepted connection is the plain end of a tunnel whose handshake runs on the
// tunnel's own thread, so the door reads frames from it as from any other socket.
class Listener {
public:
    // A TCP address that is not loopback is refused unless `allowRemote`. `credentials` are
    // required for tls:// and used for nothing else.
    static foundation::Result<Listener> listen(const std::string& endpoint, bool allowRemote,
                                               std::shared_ptr<const tls::ServerCredentials> credentials = nullptr);

    Listener(Listener&&) = default;
    Listener& operator=(Listener&&) = default;
    ~Listener() { close(); }

    // The endpoint as the session file names it: a socket path, or "tcp://HOST:PORT" with the real port.
    const std::string& endpoint() const { return endpoint_; }
    bool isRemote() const { return remote_; }
    bool isEncrypted() const { return credentials_ != nullptr; }

    int fd() const { return fd_.get(); }
    // The next waiting connection, non-blocking like the listening socket, or an invalid
    // descriptor when none waits. Fails when the process is out of descriptors.
    foundation::Result<UniqueFd> accept() const;
    // Closes the socket, ends every tunnel and removes a Unix socket's file.
    void close();

private:
    Listener(UniqueFd fd, std::string endpoint, std::string unixPath, bool remote,
             std::shared_ptr<const tls::ServerCredentials> credentials)
        : fd_(std::move(fd)),
          endpoint_(std::move(endpoint)),
          unixPath_(std::move(unixPath)),
          remote_(remote),
          credentials_(std::move(credentials)) {}
    // Takes over `tcpFD`.
    foundation::Result<UniqueFd> tunnelled(int tcpFD) const;

    UniqueFd fd_;
    std::string endpoint_;
    std::string unixPath_;  // removed when the listener goes
    bool remote_ = false;
    std::shared_ptr<const tls::ServerCredentials> credentials_;
    // A tunnel lives until its relay ends by itself, which the plain end's close brings about;
    // the ended ones go at the next accept.
    struct Tunnels {
        std::mutex mutex;
        std::vector<std::unique_ptr<tls::Tunnel>> running;
    };
    std::unique_ptr<Tunnels> tunnels_ = std::make_unique<Tunnels>();
};

}  // namespace brindle::sdk
