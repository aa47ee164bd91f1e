#include "sdk/cpp/transport/listener.h"

#include "platform/foundation/errno_table.h"
#include "sdk/cpp/transport/path_owner.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <cstring>

namespace brindle::sdk {

using foundation::Error;
namespace darwin = foundation::darwin;

namespace {

constexpr int kBacklog = 64;
constexpr int kReplyBufferSize = 4 * 1024 * 1024;
constexpr std::string_view kUnixPrefix = "unix:";
constexpr std::string_view kTcpPrefix = "tcp://";
constexpr std::string_view kTlsPrefix = "tls://";
// A client that connects and then never finishes its TLS handshake is let go after this.
constexpr std::chrono::seconds kTlsHandshakeLimit{10};
constexpr int kProbeMilliseconds = 1000;

Error systemError(const std::string& what) {
    const int code = foundation::currentDarwinErrno();
    return Error::posix(code, what + ": " + std::string(foundation::darwinErrnoText(code)));
}

bool isLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
    }
    return false;
}

// A socket file left by a server that is gone may be replaced; a live one never, nor one that
// another user put there.
std::optional<Error> clearStaleSocket(const std::string& path) {
    if (auto refused = refuseAnotherOwnersObject(path)) return refused;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    if (!S_ISSOCK(st.st_mode)) return Error::posix(darwin::eaddrinuse, path + " exists and is not a socket");
    if (serverAnswers(path)) return Error::posix(darwin::eaddrinuse, "a server already listens on " + path);
    if (::unlink(path.c_str()) != 0) return systemError("cannot remove " + path);
    return std::nullopt;
}

// Connects without ever waiting for the peer to accept; a Unix socket whose queue is full says
// EAGAIN at once, and a TCP peer gets a short while to answer.
bool setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool answersAt(const sockaddr* address, socklen_t length) {
    UniqueFd probe(::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe.valid()) return true;
    if (::connect(probe.get(), address, length) == 0) return true;
    if (errno == ECONNREFUSED || errno == ENOENT) return false;
    if (errno != EINPROGRESS) return true;
    pollfd descriptor{probe.get(), POLLOUT, 0};
    if (::poll(&descriptor, 1, kProbeMilliseconds) != 1) return true;
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(probe.get(), SOL_SOCKET, SO_ERROR, &error, &size);
    return error != ECONNREFUSED;
}

}  // namespace

foundation::Result<Listener> Listener::listen(const std::string& endpoint, bool allowRemote,
                                              std::shared_ptr<const tls::ServerCredentials> credentials) {
    if (endpoint.starts_with(kUnixPrefix)) {
        const std::string path = endpoint.substr(kUnixPrefix.size());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.empty() || path.size() >= sizeof address.sun_path) {
            return Error::posix(darwin::enametoolong, "socket path must have 1 to 103 bytes");
        }
        std::memcpy(address.sun_path, path.data(), path.size());
        if (auto error = clearStaleSocket(path)) return *error;
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd.valid()) return systemError("socket");
        // The socket is created 0600: only its owner may connect.
        const mode_t previous = ::umask(0177);
        const int bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::umask(previous);
        if (bound != 0) return systemError("cannot bind " + path);
        if (::listen(fd.get(), kBacklog) != 0) {
            ::unlink(path.c_str());
            return systemError("cannot listen on " + path);
        }
        return Listener(std::move(fd), path, path, false, nullptr);
    }
    const bool encrypted = endpoint.starts_with(kTlsPrefix);
    if (!encrypted && !endpoint.starts_with(kTcpPrefix)) {
        return Error::posix(darwin::einval, "listen address must be unix:PATH, tls://HOST:PORT or tcp://HOST:PORT");
    }
    if (encrypted && credentials == nullptr) return Error::posix(darwin::einval, "tls:// needs a certificate and a key");
    if (!encrypted) credentials.reset();
    const std::string_view scheme = encrypted ? kTlsPrefix : kTcpPrefix;

    const std::string authority = endpoint.substr(scheme.size());
    const size_t colon = authority.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == authority.size()) {
        return Error::posix(darwin::einval, "tcp address needs a host and a port");
    }
    std::string host = authority.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string port = authority.substr(colon + 1);

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (const int status = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); status != 0) {
        return Error::posix(darwin::einval, std::string("cannot resolve ") + authority + ": " + ::gai_strerror(status));
    }
    std::optional<Error> lastError;
    for (const addrinfo* candidate = found; candidate != nullptr; candidate = candidate->ai_next) {
        const bool remote = !isLoopback(candidate->ai_addr);
        if (remote && !allowRemote) {
            lastError = Error::posix(darwin::eperm, "refusing to listen on " + host +
                                                        ", which is not loopback (use --allow-remote)");
            continue;
        }
        UniqueFd fd(::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                             candidate->ai_protocol));
        if (!fd.valid()) {
            lastError = systemError("socket");
            continue;
        }
        const int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd.get(), candidate->ai_addr, candidate->ai_addrlen) != 0 || ::listen(fd.get(), kBacklog) != 0) {
            lastError = systemError("cannot listen on " + authority);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
        char text[INET6_ADDRSTRLEN] = {};
        uint16_t boundPort = 0;
        if (bound.ss_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&bound);
            ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
            boundPort = ntohs(in6->sin6_port);
        } else {
            const auto* in = reinterpret_cast<const sockaddr_in*>(&bound);
            ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
            boundPort = ntohs(in->sin_port);
        }
        ::freeaddrinfo(found);
        // The client splits at the last colon, so an IPv6 host goes without brackets.
        return Listener(std::move(fd), std::string(scheme) + text + ":" + std::to_string(boundPort), "", remote,
                        std::move(credentials));
    }
    ::freeaddrinfo(found);
    return lastError ? *lastError : Error::posix(darwin::eio, "no address to listen on");
}

void Listener::close() {
    if (fd_.valid() && !unixPath_.empty()) ::unlink(unixPath_.c_str());
    fd_.reset();
    if (!tunnels_) return;  // moved from
    std::vector<std::unique_ptr<tls::Tunnel>> ending;
    {
        std::lock_guard lock(tunnels_->mutex);
        ending.swap(tunnels_->running);
    }
}

foundation::Result<UniqueFd> Listener::tunnelled(int tcpFD) const {
    auto accepted = tls::Tunnel::accept(tcpFD, *credentials_, kTlsHandshakeLimit);
    if (!accepted) return accepted.error();
    UniqueFd plain(accepted.value().plainFD);
    if (!setNonBlocking(plain.get())) return systemError("fcntl");
    std::vector<std::unique_ptr<tls::Tunnel>> ended;
    std::lock_guard lock(tunnels_->mutex);
    auto& running = tunnels_->running;
    for (auto it = running.begin(); it != running.end();) {
        if ((*it)->finished()) {
            ended.push_back(std::move(*it));
            it = running.erase(it);
        } else {
            ++it;
        }
    }
    running.push_back(std::move(accepted.value().tunnel));
    return plain;
}

foundation::Result<UniqueFd> Listener::accept() const {
    for (;;) {
        const int fd = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            // Room for a whole 1 MiB read reply and more, so that the worker writing it is not
            // woken once per default-sized chunk the client takes. The kernel caps the size.
            const int bufferSize = kReplyBufferSize;
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
            if (unixPath_.empty()) {
                // A reply is one whole frame: holding its last segment back until the client
                // acknowledges the others (Nagle) costs a delayed acknowledgement, up to 40 ms.
                const int on = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            }
            if (credentials_ != nullptr) return tunnelled(fd);
            return UniqueFd(fd);
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return UniqueFd();
        return systemError("accept");
    }
}

bool serverAnswers(const std::string& endpoint) {
    const bool network = endpoint.starts_with(kTcpPrefix) || endpoint.starts_with(kTlsPrefix);
    if (!network) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (endpoint.empty() || endpoint.size() >= sizeof address.sun_path) return false;
        std::memcpy(address.sun_path, endpoint.data(), endpoint.size());
        return answersAt(reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    const std::string authority = endpoint.substr(endpoint.find("://") + 3);
    const size_t colon = authority.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == authority.size()) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(authority.substr(0, colon).c_str(), authority.substr(colon + 1).c_str(), &hints, &found) != 0) {
        return false;
    }
    bool answers = false;
    for (const addrinfo* candidate = found; candidate != nullptr && !answers; candidate = candidate->ai_next) {
        answers = answersAt(candidate->ai_addr, candidate->ai_addrlen);
    }
    ::freeaddrinfo(found);
    return answers;
}

}  // namespace brindle::sdk
