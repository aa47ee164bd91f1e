#include "tests/module/rpc/scripted_server.h"

#include "platform/foundation/json.h"
#include "protocol/framing.h"
#include "protocol/wire.h"

#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace rpctest {

Peer::Peer(int fd) : fd_(fd) {
    timeval timeout{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

Peer::~Peer() { close(); }

std::optional<Frame> Peer::read() {
    auto frame = brindle::framing::readFramedMessage(fd_, nullptr);
    if (!frame) return std::nullopt;
    return Frame{std::move(frame.value().response), frame.value().payload.value_or(std::string())};
}

std::optional<std::string> Peer::readText() {
    uint8_t header[brindle::framing::kHeaderSize];
    if (brindle::framing::readExactLength(sizeof header, fd_, header)) return std::nullopt;
    std::string text((size_t{header[0]} << 24) | (size_t{header[1]} << 16) | (size_t{header[2]} << 8) | header[3], '\0');
    if (brindle::framing::readExactLength(text.size(), fd_, text.data())) return std::nullopt;
    return text;
}

void Peer::reply(const boost::json::object& json, const std::string& payload) {
    brindle::framing::writeFramedData(foundation::json::serialize(json), payload, fd_);
}

void Peer::replyTo(const Frame& request, boost::json::object json, const std::string& payload) {
    json[brindle::wire::key::requestID] = request.json.at(brindle::wire::key::requestID);
    reply(json, payload);
}

void Peer::acceptHandshake(const std::string& sessionID, boost::json::array extensions) {
    auto handshake = read();
    if (!handshake) throw std::runtime_error("no handshake arrived");
    boost::json::object reply{{"ok", true}, {"session_id", sessionID}};
    if (!extensions.empty()) reply["extensions"] = std::move(extensions);
    replyTo(*handshake, reply);
}

void Peer::writeRaw(const std::string& bytes) { brindle::framing::writeAllData(bytes, fd_); }

void Peer::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

ScriptedServer::ScriptedServer() : socketPath_(dir_.file("server.sock")) {
    listenFD_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath_.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::bind(listenFD_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFD_, 16) != 0) {
        throw std::runtime_error("cannot listen on " + socketPath_);
    }
}

ScriptedServer::~ScriptedServer() { ::close(listenFD_); }

std::unique_ptr<Peer> ScriptedServer::accept(std::chrono::milliseconds wait) {
    pollfd ready{listenFD_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(wait.count())) != 1) return nullptr;
    const int fd = ::accept(listenFD_, nullptr, nullptr);
    return fd >= 0 ? std::make_unique<Peer>(fd) : nullptr;
}

std::shared_ptr<const brindle::BrindleSessionDescriptor> ScriptedServer::session(const std::string& sessionID,
                                                                                const std::string& token) const {
    brindle::SessionFields fields;
    fields.sessionID = sessionID;
    fields.socketPath = socketPath_;
    fields.authToken = token;
    fields.volumeName = "test";
    return std::make_shared<brindle::BrindleSessionDescriptor>(
        foundation::URL::fileURLWithPath(dir_.file("session.json")), fields);
}

std::shared_ptr<const brindle::BrindleSessionDescriptor> sessionForEndpoint(const std::string& endpoint) {
    brindle::SessionFields fields;
    fields.sessionID = "session-1";
    fields.socketPath = endpoint;
    fields.authToken = "secret";
    return std::make_shared<brindle::BrindleSessionDescriptor>(foundation::URL::fileURLWithPath("/tmp/session.json"),
                                                               fields);
}

std::string rawFrame(const std::string& json, const std::string& payload) {
    std::string frame(8, '\0');
    const auto put = [&](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) frame[at + i] = static_cast<char>(value >> (24 - 8 * i));
    };
    put(0, static_cast<uint32_t>(json.size()));
    put(4, static_cast<uint32_t>(payload.size()));
    return frame + json + payload;
}

std::unique_ptr<Peer> connectAccepted(ScriptedServer& server, brindle::BrindleRPCClient& client) {
    auto isReady = std::make_shared<Await<std::optional<foundation::Error>>>();
    client.ensureReadyWithCompletion(
        [isReady](std::optional<foundation::Error> error) { isReady->set(std::move(error)); });
    auto peer = server.accept();
    if (!peer) return nullptr;
    peer->acceptHandshake("session-1");
    const auto outcome = isReady->get();
    if (!outcome || outcome->has_value()) return nullptr;
    return peer;
}

}  // namespace rpctest
