#pragma once

#include "platform/foundation/error.h"
#include "brindle/unique_fd.h"

#include <boost/json.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brindle::sdk {

// What a handshake is judged against, and what its reply tells an authenticated client.
struct SessionSecrets {
    std::string sessionID;
    std::string authToken;
    // The extensions the server supports; the reply lists them, an empty list when there are none.
    std::vector<std::string> extensions;
};

// A connection that has not yet proven the token. Its first frame is read as its bytes arrive,
// never past that frame's end, and may hold only a few kilobytes: a stranger costs a small
// buffer and no thread, and a header announcing more closes the connection before anything
// is allocated for it.
class PendingHandshake {
public:
    // The handshake needs a few hundred bytes.
    static constexpr uint32_t kMaxFrame = 4096;

    enum class Outcome { Incomplete, Authenticated, Refused };

    // The socket must be non-blocking.
    PendingHandshake(UniqueFd socket, const SessionSecrets& secrets) : socket_(std::move(socket)), secrets_(secrets) {}

    int fd() const { return socket_.get(); }
    // Reads what has arrived without waiting. A refused client has had its answer, if it gets one.
    Outcome readAvailable();
    // Answers an authenticated handshake; false when the answer could not be sent.
    bool accept();
    // Answers an authenticated handshake with `error` instead.
    void refuse(const foundation::Error& error);
    UniqueFd takeSocket() { return std::move(socket_); }

private:
    Outcome judge();
    bool answer(boost::json::object reply);

    UniqueFd socket_;
    const SessionSecrets& secrets_;
    std::array<uint8_t, 8> header_{};
    size_t headerRead_ = 0;
    std::string body_;
    size_t bodyRead_ = 0;
    size_t jsonLength_ = 0;
    std::optional<boost::json::value> requestID_;
};

}  // namespace brindle::sdk
