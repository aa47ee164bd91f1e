#include "sdk/cpp/transport/pending_handshake.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "platform/log/log.h"
#include "protocol/framing.h"
#include "protocol/wire.h"
#include "sdk/cpp/dispatch/request.h"
#include "sdk/cpp/transport/token.h"

#include <sys/socket.h>

#include <cerrno>

namespace brindle::sdk {

namespace darwin = foundation::darwin;
namespace key = wire::key;

namespace {

uint32_t bigEndian32(const uint8_t* in) {
    return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | uint32_t{in[3]};
}

enum class Received { All, Waiting, Ended };

// Reads up to `wanted` bytes that have already arrived into `out`, adding the count to `done`.
Received receiveAvailable(int fd, char* out, size_t wanted, size_t& done) {
    while (done < wanted) {
        const ssize_t n = ::recv(fd, out + done, wanted - done, MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Received::Waiting;
        return Received::Ended;
    }
    return Received::All;
}

}  // namespace

PendingHandshake::Outcome PendingHandshake::readAvailable() {
    if (headerRead_ < header_.size()) {
        const Received received =
            receiveAvailable(fd(), reinterpret_cast<char*>(header_.data()), header_.size(), headerRead_);
        if (received == Received::Waiting) return Outcome::Incomplete;
        if (received == Received::Ended) return Outcome::Refused;
        jsonLength_ = bigEndian32(header_.data());
        const uint64_t bodyLength = uint64_t{jsonLength_} + bigEndian32(header_.data() + 4);
        if (bodyLength > kMaxFrame) {
            logging::debug("orvel: server closes a connection whose first frame announces {} bytes", bodyLength);
            return Outcome::Refused;
        }
        body_.resize(static_cast<size_t>(bodyLength));
    }
    const Received received = receiveAvailable(fd(), body_.data(), body_.size(), bodyRead_);
    if (received == Received::Waiting) return Outcome::Incomplete;
    if (received == Received::Ended) return Outcome::Refused;
    return judge();
}

PendingHandshake::Outcome PendingHandshake::judge() {
    auto parsed = foundation::json::parse(std::string_view(body_).substr(0, jsonLength_));
    if (!parsed || !parsed.value().is_object()) return Outcome::Refused;
    const auto& request = parsed.value().get_object();
    if (const auto* requestID = request.if_contains(key::requestID)) requestID_ = *requestID;
    const auto* method = foundation::json::stringField(request, key::method);
    if (method == nullptr || *method != wire::method::handshake) {
        refuse(foundation::Error::posix(darwin::eperm, "handshake required"));
        return Outcome::Refused;
    }
    const auto* token = foundation::json::stringField(request, key::authToken);
    if (token == nullptr || !constantTimeEquals(std::string_view(token->data(), token->size()), secrets_.authToken)) {
        logging::error("orvel: server handshake rejected");
        refuse(foundation::Error::posix(darwin::eperm, "authentication failed"));
        return Outcome::Refused;
    }
    return Outcome::Authenticated;
}

bool PendingHandshake::accept() {
    Reply reply = okReply();
    reply.object[key::sessionID] = secrets_.sessionID;
    reply.object[key::extensions] = boost::json::array(secrets_.extensions.begin(), secrets_.extensions.end());
    return answer(std::move(reply.object));
}

void PendingHandshake::refuse(const foundation::Error& error) { answer(errorReply(error).object); }

// The client has been sent nothing yet, so a reply this small always fits its socket's buffer.
bool PendingHandshake::answer(boost::json::object reply) {
    if (requestID_) reply[key::requestID] = *requestID_;
    return !framing::writeFramedData(foundation::json::serialize(reply), {}, fd());
}

}  // namespace brindle::sdk
