#pragma once

#include "platform/foundation/error.h"

#include <boost/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Frames on a stream socket: an 8-byte header (JSON length, payload length, both big-endian
// 32-bit), a compact JSON object, and optional raw payload bytes.
namespace brindle::framing {

inline constexpr size_t kHeaderSize = 8;
// A frame body (JSON plus payload) larger than this is refused on receipt.
inline constexpr uint64_t kMaxReceiveBody = 16u * 1024u * 1024u;
inline constexpr size_t kDiscardChunk = 32768;

// Where a read reply's payload goes instead of a new data object. The reader places bytes only
// while holding `mutex` and only while `completed` is false, so a request that has already been
// failed never has its buffer written; `owner` keeps the buffer's memory alive meanwhile.
struct DirectReadSlot {
    std::mutex mutex;
    bool completed = false;
    std::shared_ptr<const void> owner;
    void* buffer = nullptr;
    uint64_t capacity = 0;

    // Marks the request done so that no further bytes are placed; waits for a placement under way.
    void markCompleted() {
        std::lock_guard lock(mutex);
        completed = true;
    }
};

// Given a reply's request id, the direct-read slot registered for it, or null.
using DirectReadLookup = std::function<std::shared_ptr<DirectReadSlot>(uint64_t requestID)>;

struct ReceivedFrame {
    boost::json::object response;
    // The payload bytes, or none when they went into a direct-read buffer.
    std::optional<std::string> payload;
    // Set when the JSON could not be read but named the request it answers: that request fails with
    // this error, and `response` holds only the recovered "request_id".
    std::optional<foundation::Error> unreadable;
};

// The two parts of one outgoing frame; the header is made from their lengths.
struct FramePieces {
    std::string_view json;
    std::string_view payload;
};

// Whether both lengths fit their 32-bit header fields.
bool fitsFrame(uint64_t jsonLength, uint64_t payloadLength);
// Writes one whole frame with gathering writes (MSG_NOSIGNAL: a vanished peer is EPIPE, not a signal).
std::optional<foundation::Error> writeFramedData(std::string_view json, std::string_view payload, int socketFD);
// Writes whole frames back to back, as many as fit in each gathering write. A frame too large for
// its header is EMSGSIZE before anything is written.
std::optional<foundation::Error> writeFrames(std::span<const FramePieces> frames, int socketFD,
                                             size_t alreadyWritten = 0);
// Writes what the socket takes without waiting, after the first `alreadyWritten` bytes of the
// frames; returns the bytes written so far, those included.
foundation::Result<size_t> writeFramesWithoutWaiting(std::span<const FramePieces> frames, int socketFD,
                                                     size_t alreadyWritten);
// Reads one whole frame and parses its JSON; consults `lookup` for replies that carry a payload.
// A frame whose JSON cannot be read is consumed whole; it is an error only when it names no request.
// Reads no byte beyond the frame.
foundation::Result<ReceivedFrame> readFramedMessage(int socketFD, const DirectReadLookup& lookup);

// A descriptor watched beside a socket while its reader waits for data: when it turns readable,
// `ring` runs on the reader, which then goes on waiting. `ring` must make it unreadable again.
struct Alarm {
    int fd = -1;
    std::function<void()> ring;
};

// The frames of one socket, read as readFramedMessage reads them but through a buffer: one read
// takes whatever has arrived, so replies that arrive together cost one system call instead of
// two or three each. A payload larger than the buffer goes from the socket straight to its
// destination.
class FrameReader {
public:
    static constexpr size_t kBufferSize = 64 * 1024;

    // A buffer size of 0 reads exactly the bytes of each frame and nothing more. `alarm` is
    // watched while the reader waits for its buffer to fill.
    explicit FrameReader(int socketFD, size_t bufferSize = kBufferSize, Alarm alarm = {});
    foundation::Result<ReceivedFrame> next(const DirectReadLookup& lookup);

private:
    // Moves `count` bytes to `out`: what is buffered first, the rest through the buffer or,
    // when at least as large as the buffer, straight from the socket.
    std::optional<foundation::Error> take(size_t count, void* out);
    std::optional<foundation::Error> skip(uint64_t count);
    // Reads whatever has arrived, at least one byte, into the emptied buffer.
    std::optional<foundation::Error> refill();
    size_t buffered() const { return end_ - start_; }

    const int fd_;
    const Alarm alarm_;
    std::vector<char> buffer_;
    size_t start_ = 0;
    size_t end_ = 0;
};
std::optional<foundation::Error> readExactLength(size_t length, int socketFD, void* buffer);
// Reads what has arrived, at least one byte, into `buffer`; 0 means the peer closed. It waits in
// poll for readable data rather than in read: a reader asleep in read on a Unix socket is woken
// each time the peer takes bytes that this end sent (the socket's write space), for nothing, which
// cost every call two extra context switches, one on each side. `alarm`, when given, is watched
// beside the socket.
foundation::Result<size_t> readAvailable(int socketFD, void* buffer, size_t capacity, const Alarm* alarm = nullptr);
std::optional<foundation::Error> discardExactLength(uint64_t length, int socketFD);
std::optional<foundation::Error> writeAllData(std::string_view data, int socketFD);

}  // namespace brindle::framing
