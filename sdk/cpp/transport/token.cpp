#include "sdk/cpp/transport/token.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdint>

namespace brindle::sdk {

foundation::Result<std::string> randomToken() {
    std::array<uint8_t, 32> bytes{};
    size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return foundation::Error::fromLinuxErrno(errno);
        }
        filled += static_cast<size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (const uint8_t byte : bytes) {
        token += kHex[byte >> 4];
        token += kHex[byte & 0xF];
    }
    return token;
}

bool constantTimeEquals(std::string_view given, std::string_view expected) {
    // Every byte of the expected token is visited whatever `given` holds; a length difference
    // only flips the result.
    uint8_t difference = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < expected.size(); ++i) {
        const uint8_t other = i < given.size() ? static_cast<uint8_t>(given[i]) : 0;
        difference |= static_cast<uint8_t>(other ^ static_cast<uint8_t>(expected[i]));
    }
    return difference == 0;
}

}  // namespace brindle::sdk
