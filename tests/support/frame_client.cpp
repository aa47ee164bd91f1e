#include "tests/support/frame_client.h"

#include "platform/foundation/json.h"
#include "protocol/framing.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

namespace testsupport {

bool Answer::ok() const {
    const auto* value = object.if_contains("ok");
    return value != nullptr && value->is_bool() && value->get_bool();
}

int64_t Answer::errnoCode() const {
    const auto* value = object.if_contains("errno");
    return value != nullptr && value->is_number() ? value->to_number<int64_t>() : -1;
}

FrameClient::FrameClient(const std::string& socketPath) {
    if (socketPath.starts_with("tcp://")) {
        const size_t colon = socketPath.rfind(':');
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(std::stoi(socketPath.substr(colon + 1))));
        ::inet_pton(AF_INET, socketPath.substr(6, colon - 6).c_str(), &address.sin_addr);
        brindle::sdk::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) socket_ = std::move(fd);
        return;
    }
    brindle::sdk::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) socket_ = std::move(fd);
}

uint64_t FrameClient::send(boost::json::object request, const std::string& payload) {
    const uint64_t id = ++nextID_;
    request["request_id"] = id;
    brindle::framing::writeFramedData(foundation::json::serialize(request), payload, socket_.get());
    return id;
}

std::optional<Answer> FrameClient::receive() {
    auto frame = brindle::framing::readFramedMessage(socket_.get(), nullptr);
    if (!frame) return std::nullopt;
    return Answer{std::move(frame.value().response), frame.value().payload.value_or(std::string())};
}

std::optional<Answer> FrameClient::call(boost::json::object request, const std::string& payload) {
    send(std::move(request), payload);
    return receive();
}

bool FrameClient::handshake(const std::string& token) {
    const auto answer = call({{"method", "handshake"}, {"auth_token", token}});
    return answer && answer->ok();
}

void FrameClient::sendBytes(const std::string& bytes) { brindle::framing::writeAllData(bytes, socket_.get()); }

bool FrameClient::closedByServer() {
    pollfd descriptor{socket_.get(), POLLIN, 0};
    if (::poll(&descriptor, 1, 5000) <= 0) return false;
    char byte;
    return ::recv(socket_.get(), &byte, 1, 0) <= 0;
}

std::string header(uint32_t jsonLength, uint32_t payloadLength) {
    std::string bytes(8, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>(jsonLength >> (24 - 8 * i));
        bytes[4 + i] = static_cast<char>(payloadLength >> (24 - 8 * i));
    }
    return bytes;
}

}  // namespace testsupport
