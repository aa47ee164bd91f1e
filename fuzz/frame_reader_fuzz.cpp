#include "protocol/framing.h"

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>

// Feeds the input through a socket pair and reads frames until the stream ends or fails. Odd
// request ids get a small direct-read buffer, so truncation and draining are exercised too.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    int bufferSize = 1 << 20;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    brindle::framing::writeAllData(std::string_view(reinterpret_cast<const char*>(data), size), fds[0]);
    ::close(fds[0]);

    char buffer[16];
    auto slot = std::make_shared<brindle::framing::DirectReadSlot>();
    slot->buffer = buffer;
    slot->capacity = sizeof buffer;
    const brindle::framing::DirectReadLookup lookup = [&](uint64_t requestID) {
        return requestID % 2 == 1 ? slot : nullptr;
    };
    while (brindle::framing::readFramedMessage(fds[1], lookup)) {
    }
    ::close(fds[1]);
    return 0;
}
