#pragma once

#include "platform/foundation/error.h"
#include "protocol/framing.h"

#include <array>
#include <cstddef>

namespace brindle::sdk {

// The request frames of one client, read through a buffer: one read takes whatever has
// arrived, so a client that sends many small requests at once costs one system call for all
// of them instead of two or three each. A body too large for the buffer is read straight
// into its own memory, and a header announcing more than the receive limit is refused before
// anything is allocated for it.
class RequestReader {
public:
    explicit RequestReader(int socketFD) : fd_(socketFD) {}

    foundation::Result<framing::ReceivedFrame> next();
    // Bytes of a next request have arrived already: its client is not waiting on the last one alone.
    bool hasBuffered() const { return buffered() > 0; }
    // The next request has arrived whole: `next` returns it without waiting.
    bool hasWholeFrame() const;

private:
    static constexpr size_t kBufferSize = 64 * 1024;

    // Reads until at least `count` bytes are buffered; `count` is at most the buffer's size.
    std::optional<foundation::Error> fill(size_t count);
    // Moves `count` bytes to `out`: what is buffered first, the rest straight from the socket.
    std::optional<foundation::Error> take(size_t count, char* out);
    size_t buffered() const { return end_ - start_; }

    const int fd_;
    std::array<char, kBufferSize> buffer_;
    size_t start_ = 0;
    size_t end_ = 0;
};

}  // namespace brindle::sdk
