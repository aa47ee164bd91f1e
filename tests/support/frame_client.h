#pragma once

#include "brindle/unique_fd.h"

#include <boost/json.hpp>

#include <optional>
#include <string>

namespace testsupport {

struct Answer {
    boost::json::object object;
    std::string payload;

    bool ok() const;
    int64_t errnoCode() const;
};

// A raw protocol client: frames requests by hand, so tests see exactly what the server answers.
class FrameClient {
public:
    // `socketPath` is a Unix socket path or "tcp://IPV4:PORT".
    explicit FrameClient(const std::string& socketPath);

    bool connected() const { return socket_.valid(); }
    int fd() const { return socket_.get(); }

    // Sends `request` with a fresh "request_id" and waits for the next reply.
    std::optional<Answer> call(boost::json::object request, const std::string& payload = "");
    // Sends without waiting; returns the request id used.
    uint64_t send(boost::json::object request, const std::string& payload = "");
    std::optional<Answer> receive();
    bool handshake(const std::string& token);
    void sendBytes(const std::string& bytes);
    // True once the server has closed the connection (a read sees end of stream).
    bool closedByServer();

private:
    brindle::sdk::UniqueFd socket_;
    uint64_t nextID_ = 0;
};

std::string header(uint32_t jsonLength, uint32_t payloadLength);

}  // namespace testsupport
