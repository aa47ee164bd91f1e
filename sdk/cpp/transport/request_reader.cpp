#include "sdk/cpp/transport/request_reader.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"

#include <algorithm>
#include <cstring>

namespace brindle::sdk {

using foundation::Error;
namespace darwin = foundation::darwin;

namespace {

uint32_t bigEndian32(const char* in) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(in);
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
}

constexpr size_t kHeaderSize = 8;

}  // namespace

bool RequestReader::hasWholeFrame() const {
    if (buffered() < kHeaderSize) return false;
    const uint64_t body = uint64_t{bigEndian32(buffer_.data() + start_)} + bigEndian32(buffer_.data() + start_ + 4);
    return buffered() - kHeaderSize >= body;
}

std::optional<Error> RequestReader::fill(size_t count) {
    if (buffered() >= count) return std::nullopt;
    if (start_ + count > buffer_.size()) {
        std::memmove(buffer_.data(), buffer_.data() + start_, buffered());
        end_ -= start_;
        start_ = 0;
    }
    // Waits in poll, not in a read: a read asleep on the socket is woken each time the client
    // reads a reply. Stopping the connection shuts the socket down, which ends the wait.
    while (buffered() < count) {
        auto n = framing::readAvailable(fd_, buffer_.data() + end_, buffer_.size() - end_);
        if (!n) return n.error();
        if (n.value() == 0) return Error::posix(darwin::econnreset);
        end_ += n.value();
    }
    return std::nullopt;
}

std::optional<Error> RequestReader::take(size_t count, char* out) {
    const size_t fromBuffer = std::min(count, buffered());
    std::memcpy(out, buffer_.data() + start_, fromBuffer);
    start_ += fromBuffer;
    return framing::readExactLength(count - fromBuffer, fd_, out + fromBuffer);
}

foundation::Result<framing::ReceivedFrame> RequestReader::next() {
    if (auto error = fill(kHeaderSize)) return *error;
    const uint32_t jsonLength = bigEndian32(buffer_.data() + start_);
    const uint32_t payloadLength = bigEndian32(buffer_.data() + start_ + 4);
    if (uint64_t{jsonLength} + payloadLength > framing::kMaxReceiveBody) return Error::posix(darwin::emsgsize);
    start_ += kHeaderSize;

    // A body that fits the buffer arrives with one read, together with whatever follows it.
    const size_t bodyLength = size_t{jsonLength} + payloadLength;
    if (bodyLength <= buffer_.size()) {
        if (auto error = fill(bodyLength)) return *error;
    }
    // Parsed where it lies when it was buffered whole; copied out only when it was not.
    std::string jsonText;
    std::string_view json;
    if (buffered() >= jsonLength) {
        json = std::string_view(buffer_.data() + start_, jsonLength);
        start_ += jsonLength;
    } else {
        jsonText.resize(jsonLength);
        if (auto error = take(jsonLength, jsonText.data())) return *error;
        json = jsonText;
    }
    auto parsed = foundation::json::parse(json);
    if (!parsed) return parsed.error();
    if (!parsed.value().is_object()) return Error::posix(darwin::einval);
    std::string payload(payloadLength, '\0');
    if (auto error = take(payloadLength, payload.data())) return *error;
    return framing::ReceivedFrame{std::move(parsed.value().get_object()), std::move(payload)};
}

}  // namespace brindle::sdk
