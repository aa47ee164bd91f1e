#include "protocol/framing.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "protocol/unreadable_reply.h"
#include "protocol/wire.h"

#include <boost/container/small_vector.hpp>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <vector>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace brindle::framing {

using foundation::Error;
namespace darwin = foundation::darwin;

namespace {

void putBigEndian32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

uint32_t getBigEndian32(const uint8_t* in) {
    return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | uint32_t{in[3]};
}

}  // namespace

bool fitsFrame(uint64_t jsonLength, uint64_t payloadLength) {
    constexpr uint64_t kFieldMax = std::numeric_limits<uint32_t>::max();
    return jsonLength <= kFieldMax && payloadLength <= kFieldMax;
}

std::optional<Error> writeFramedData(std::string_view json, std::string_view payload, int socketFD) {
    const FramePieces frame{json, payload};
    return writeFrames({&frame, 1}, socketFD);
}

namespace {

// Writes the frames from byte `alreadyWritten` on, waiting for room or not; returns the bytes
// written so far, those skipped included.
foundation::Result<size_t> sendFrames(std::span<const FramePieces> frames, int socketFD, size_t alreadyWritten,
                                      bool wait) {
    // Room on the stack for the few frames that a write usually carries.
    boost::container::small_vector<std::array<uint8_t, 8>, 4> headers(frames.size());
    boost::container::small_vector<iovec, 12> pieces;
    pieces.reserve(3 * frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        const FramePieces& frame = frames[i];
        if (!fitsFrame(frame.json.size(), frame.payload.size())) return Error::posix(darwin::emsgsize);
        putBigEndian32(headers[i].data(), static_cast<uint32_t>(frame.json.size()));
        putBigEndian32(headers[i].data() + 4, static_cast<uint32_t>(frame.payload.size()));
        pieces.push_back({headers[i].data(), headers[i].size()});
        pieces.push_back({const_cast<char*>(frame.json.data()), frame.json.size()});
        if (!frame.payload.empty()) pieces.push_back({const_cast<char*>(frame.payload.data()), frame.payload.size()});
    }
    size_t first = 0;
    const auto advance = [&](size_t count) {
        while (first < pieces.size() && count >= pieces[first].iov_len) {
            count -= pieces[first].iov_len;
            ++first;
        }
        if (first < pieces.size()) {
            pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + count;
            pieces[first].iov_len -= count;
        }
    };
    advance(alreadyWritten);
    size_t total = alreadyWritten;
    while (first < pieces.size()) {
        msghdr message{};
        message.msg_iov = &pieces[first];
        message.msg_iovlen = std::min<size_t>(pieces.size() - first, IOV_MAX);
        const ssize_t written = ::sendmsg(socketFD, &message, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
        if (written < 0) {
            if (errno == EINTR) continue;
            if (!wait && (errno == EAGAIN || errno == EWOULDBLOCK)) return total;
            return Error::fromLinuxErrno(errno);
        }
        total += static_cast<size_t>(written);
        advance(static_cast<size_t>(written));
    }
    return total;
}

}  // namespace

std::optional<Error> writeFrames(std::span<const FramePieces> frames, int socketFD, size_t alreadyWritten) {
    auto written = sendFrames(frames, socketFD, alreadyWritten, true);
    if (!written) return written.error();
    return std::nullopt;
}

foundation::Result<size_t> writeFramesWithoutWaiting(std::span<const FramePieces> frames, int socketFD,
                                                     size_t alreadyWritten) {
    return sendFrames(frames, socketFD, alreadyWritten, false);
}

std::optional<Error> readExactLength(size_t length, int socketFD, void* buffer) {
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(socketFD, out + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Error::fromLinuxErrno(errno);
        }
        if (n == 0) return Error::posix(darwin::econnreset);
        done += static_cast<size_t>(n);
    }
    return std::nullopt;
}

std::optional<Error> discardExactLength(uint64_t length, int socketFD) {
    std::array<uint8_t, kDiscardChunk> scratch;
    while (length > 0) {
        const size_t chunk = length < scratch.size() ? static_cast<size_t>(length) : scratch.size();
        if (auto error = readExactLength(chunk, socketFD, scratch.data())) return error;
        length -= chunk;
    }
    return std::nullopt;
}

std::optional<Error> writeAllData(std::string_view data, int socketFD) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(socketFD, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Error::fromLinuxErrno(errno);
        }
        done += static_cast<size_t>(n);
    }
    return std::nullopt;
}

foundation::Result<ReceivedFrame> readFramedMessage(int socketFD, const DirectReadLookup& lookup) {
    return FrameReader(socketFD, 0).next(lookup);
}

FrameReader::FrameReader(int socketFD, size_t bufferSize, Alarm alarm)
    : fd_(socketFD), alarm_(std::move(alarm)), buffer_(bufferSize) {}

foundation::Result<size_t> readAvailable(int socketFD, void* buffer, size_t capacity, const Alarm* alarm) {
    // Waiting first: a reader is called when its buffer is empty, and one call in flight means
    // nothing has arrived yet, so a read tried first fails with EAGAIN nearly every time.
    const bool watchAlarm = alarm != nullptr && alarm->fd >= 0;
    for (;;) {
        std::array<pollfd, 2> watched{pollfd{socketFD, POLLIN, 0}, pollfd{watchAlarm ? alarm->fd : -1, POLLIN, 0}};
        if (::poll(watched.data(), watchAlarm ? 2 : 1, -1) < 0) {
            if (errno != EINTR) return Error::fromLinuxErrno(errno);
            continue;
        }
        if (watchAlarm && watched[1].revents != 0) alarm->ring();
        if (watched[0].revents == 0) continue;
        const ssize_t n = ::recv(socketFD, buffer, capacity, MSG_DONTWAIT);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return Error::fromLinuxErrno(errno);
    }
}

std::optional<Error> FrameReader::refill() {
    start_ = 0;
    end_ = 0;
    auto n = readAvailable(fd_, buffer_.data(), buffer_.size(), &alarm_);
    if (!n) return n.error();
    if (n.value() == 0) return Error::posix(darwin::econnreset);
    end_ = n.value();
    return std::nullopt;
}

std::optional<Error> FrameReader::take(size_t count, void* out) {
    auto* to = static_cast<char*>(out);
    for (;;) {
        const size_t fromBuffer = std::min(count, buffered());
        if (fromBuffer > 0) std::memcpy(to, buffer_.data() + start_, fromBuffer);
        start_ += fromBuffer;
        to += fromBuffer;
        count -= fromBuffer;
        if (count == 0) return std::nullopt;
        if (count >= buffer_.size()) return readExactLength(count, fd_, to);
        if (auto error = refill()) return error;
    }
}

std::optional<Error> FrameReader::skip(uint64_t count) {
    for (;;) {
        const size_t fromBuffer = static_cast<size_t>(std::min<uint64_t>(count, buffered()));
        start_ += fromBuffer;
        count -= fromBuffer;
        if (count == 0) return std::nullopt;
        if (buffer_.empty()) return discardExactLength(count, fd_);
        if (auto error = refill()) return error;
    }
}

foundation::Result<ReceivedFrame> FrameReader::next(const DirectReadLookup& lookup) {
    // Both lengths in one exact read: one system call per header instead of two.
    uint8_t header[8];
    if (auto error = take(sizeof header, header)) return *error;
    const uint32_t jsonLength = getBigEndian32(header);
    const uint32_t payloadLength = getBigEndian32(header + 4);
    if (uint64_t{jsonLength} + uint64_t{payloadLength} > kMaxReceiveBody) return Error::posix(darwin::emsgsize);

    // Read in place when the buffer holds it all; nothing refills the buffer until it is parsed.
    std::string copied;
    std::string_view jsonText;
    if (buffered() >= jsonLength) {
        jsonText = std::string_view(buffer_.data() + start_, jsonLength);
        start_ += jsonLength;
    } else {
        copied.resize(jsonLength);
        if (auto error = take(jsonLength, copied.data())) return *error;
        jsonText = copied;
    }
    auto parsed = foundation::json::parse(jsonText);
    if (!parsed || !parsed.value().is_object()) {
        auto unreadable = identifyUnreadableReply(jsonText);
        // The header gave both lengths, so the stream stays in step past a body it cannot read.
        if (auto error = skip(payloadLength)) return *error;
        if (unreadable) {
            return ReceivedFrame{{{wire::key::requestID, unreadable->requestID}}, std::nullopt,
                                 std::move(unreadable->error)};
        }
        return parsed ? Error::posix(darwin::einval) : parsed.error();
    }

    ReceivedFrame frame{std::move(parsed.value().get_object()), std::nullopt, std::nullopt};

    std::shared_ptr<DirectReadSlot> slot;
    if (payloadLength > 0 && lookup) {
        if (const auto requestID = foundation::json::uint64Field(frame.response, wire::key::requestID)) {
            slot = lookup(*requestID);
        }
    }

    if (slot && slot->buffer != nullptr) {
        const uint64_t placed = std::min<uint64_t>(payloadLength, slot->capacity);
        {
            std::lock_guard lock(slot->mutex);
            // A request failed meanwhile keeps its buffer untouched; its bytes are drained instead.
            const std::optional<Error> error =
                slot->completed ? skip(placed) : take(static_cast<size_t>(placed), slot->buffer);
            if (error) return *error;
        }
        if (auto error = skip(payloadLength - placed)) return *error;
        frame.response[wire::key::payloadLength] = placed;
        return frame;
    }

    std::string payload(payloadLength, '\0');
    if (auto error = take(payloadLength, payload.data())) return *error;
    frame.payload = std::move(payload);
    // "payload_length" counts the bytes placed in a caller's buffer; none were, whatever the server says.
    frame.response.erase(wire::key::payloadLength);
    return frame;
}

}  // namespace brindle::framing
