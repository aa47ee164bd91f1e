#include "conform/raw_connection.h"

#include "conform/verdict.h"
#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"

#include <fmt/format.h>

#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace brindle::conform {

using foundation::Error;
namespace darwin = foundation::darwin;

namespace {

int connectUnix(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) fail("the socket path " + path + " is too long for a Unix socket");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail(fmt::format("cannot make a socket: {}", std::strerror(errno)));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int error = errno;
        ::close(fd);
        fail(fmt::format("cannot connect to {}: {}", path, std::strerror(error)));
    }
    return fd;
}

int connectTCP(const std::string& endpoint) {
    const std::string authority = endpoint.substr(6);
    const size_t colon = authority.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == authority.size()) {
        fail("the endpoint " + endpoint + " names no host and port");
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (const int status = ::getaddrinfo(authority.substr(0, colon).c_str(), authority.substr(colon + 1).c_str(),
                                         &hints, &addresses);
        status != 0) {
        fail(fmt::format("cannot resolve {}: {}", endpoint, ::gai_strerror(status)));
    }
    int lastError = ECONNREFUSED;
    for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        if (::connect(fd, address->ai_addr, address->ai_addrlen) == 0) {
            ::freeaddrinfo(addresses);
            return fd;
        }
        lastError = errno;
        ::close(fd);
    }
    ::freeaddrinfo(addresses);
    fail(fmt::format("cannot connect to {}: {}", endpoint, std::strerror(lastError)));
}

}  // namespace

RawConnection::RawConnection(const Target& target) : target_(target) {
    const std::string& endpoint = target.session->socketPath();
    if (endpoint.starts_with("tls://")) {
        const std::string authority = endpoint.substr(6);
        const tls::ClientTrust trust{target.session->tlsPin(), authority.substr(0, authority.rfind(':'))};
        auto connected = tls::Tunnel::connect(connectTCP(endpoint), trust,
                                              std::chrono::duration_cast<std::chrono::milliseconds>(target.timeout));
        if (!connected) fail(fmt::format("cannot connect to {}: {}", endpoint, connected.error().description()));
        fd_ = connected.value().plainFD;
        tunnel_ = std::move(connected.value().tunnel);
    } else {
        fd_ = endpoint.starts_with("tcp://") ? connectTCP(endpoint) : connectUnix(endpoint);
    }
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(target.timeout).count();
    const timeval limit{static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000)};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

RawConnection::~RawConnection() { ::close(fd_); }

uint64_t RawConnection::send(boost::json::object request, std::string_view payload) {
    request["request_id"] = ++lastRequestID_;
    // A server that already closed the connection shows in what the next receive reads.
    (void)framing::writeFramedData(foundation::json::serialize(request), payload, fd_);
    return lastRequestID_;
}

std::vector<uint64_t> RawConnection::sendAll(std::vector<boost::json::object> requests) {
    std::vector<uint64_t> ids;
    std::vector<std::string> texts;
    for (auto& request : requests) {
        request["request_id"] = ++lastRequestID_;
        ids.push_back(lastRequestID_);
        texts.push_back(foundation::json::serialize(request));
    }
    std::vector<framing::FramePieces> frames;
    for (const auto& text : texts) frames.push_back({text, {}});
    (void)framing::writeFrames(frames, fd_);
    return ids;
}

void RawConnection::sendBytes(std::string_view bytes) { (void)framing::writeAllData(bytes, fd_); }

foundation::Result<framing::ReceivedFrame> RawConnection::receive() {
    auto frame = framing::readFramedMessage(fd_, [](uint64_t) { return nullptr; });
    if (!frame && frame.error().isPosix(darwin::eagain)) {
        const auto millis = target_.timeout.count();
        return Error::posix(darwin::etimedout, millis % 1000 == 0 ? fmt::format("no reply within {} s", millis / 1000)
                                                                  : fmt::format("no reply within {} ms", millis));
    }
    return frame;
}

foundation::Result<framing::ReceivedFrame> RawConnection::handshake(const std::string& token) {
    send({{"method", "handshake"}, {"auth_token", token}});
    return receive();
}

void RawConnection::handshakeAccepted() {
    const auto reply = handshake(target_.session->authToken());
    if (!reply) fail("the handshake with the session's token got no reply: " + describe(reply.error()));
    require(isOK(reply.value()), "the handshake with the session's token was refused: " +
                                     foundation::json::serialize(reply.value().response));
}

bool RawConnection::closesWithin() {
    for (;;) {
        const auto frame = receive();
        if (!frame) return closedByServer(frame.error());
    }
}

bool closedByServer(const Error& error) { return error.isPosix(darwin::econnreset) || error.isPosix(darwin::epipe); }

bool isOK(const framing::ReceivedFrame& frame) {
    const auto* ok = frame.response.if_contains("ok");
    return !frame.unreadable && ok != nullptr && ok->is_bool() && ok->get_bool();
}

std::optional<int64_t> errnoOf(const framing::ReceivedFrame& frame) {
    const auto* code = frame.response.if_contains("errno");
    if (code == nullptr || !(code->is_int64() || code->is_uint64())) return std::nullopt;
    return code->to_number<int64_t>();
}

std::string quoted(const framing::ReceivedFrame& frame) {
    if (frame.unreadable) return "a reply whose JSON cannot be read (" + describe(*frame.unreadable) + ")";
    return foundation::json::serialize(frame.response);
}

}  // namespace brindle::conform
