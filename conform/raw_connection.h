#pragma once

#include "conform/target.h"
#include "platform/foundation/error.h"
#include "protocol/framing.h"
#include "protocol/tls/tunnel.h"

#include <boost/json.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brindle::conform {

// A socket on which the kit writes frames itself, for what the client never sends: a wrong
// token, a malformed frame, requests written all at once. Reads wait at most the target's
// timeout.
class RawConnection {
public:
    // Fails the check when the server cannot be reached.
    explicit RawConnection(const Target& target);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // Adds a fresh "request_id" to `request` and returns it.
    uint64_t send(boost::json::object request, std::string_view payload = {});
    // Writes the requests back to back in as few writes as the socket takes; returns their ids.
    std::vector<uint64_t> sendAll(std::vector<boost::json::object> requests);
    void sendBytes(std::string_view bytes);
    // The next frame. Fails with ECONNRESET when the server closed the connection and with
    // ETIMEDOUT when it sent nothing in time.
    foundation::Result<framing::ReceivedFrame> receive();
    // Sends a handshake with `token` and returns what came back.
    foundation::Result<framing::ReceivedFrame> handshake(const std::string& token);
    // A handshake with the session's token, which must be accepted.
    void handshakeAccepted();
    // Whether the server closes the connection within the timeout; frames it sends first are
    // read and dropped.
    bool closesWithin();

private:
    const Target& target_;
    int fd_ = -1;
    // Over tls://, `fd_` is the plain end of this tunnel, which outlives it.
    std::unique_ptr<tls::Tunnel> tunnel_;
    uint64_t lastRequestID_ = 0;
};

// Whether a receive failed because the server closed the connection.
bool closedByServer(const foundation::Error& error);
// Whether a received frame is a reply with "ok" true.
bool isOK(const framing::ReceivedFrame& frame);
// A reply's "errno", when it is an integer.
std::optional<int64_t> errnoOf(const framing::ReceivedFrame& frame);
// A frame as a reason quotes it.
std::string quoted(const framing::ReceivedFrame& frame);

}  // namespace brindle::conform
