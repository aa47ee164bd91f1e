#include "platform/foundation/uuid.h"

#include <fmt/format.h>

#include <cerrno>
#include <stdexcept>
#include <sys/random.h>

namespace foundation {

UUID UUID::random() {
    UUID uuid;
    size_t filled = 0;
    while (filled < uuid.bytes_.size()) {
        const ssize_t n = ::getrandom(uuid.bytes_.data() + filled, uuid.bytes_.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("the kernel's random source is unavailable");
        }
        filled += static_cast<size_t>(n);
    }
    uuid.bytes_[6] = static_cast<uint8_t>((uuid.bytes_[6] & 0x0F) | 0x40);
    uuid.bytes_[8] = static_cast<uint8_t>((uuid.bytes_[8] & 0x3F) | 0x80);
    return uuid;
}

std::string UUID::string() const {
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += fmt::format("{:02X}", bytes_[i]);
    }
    return text;
}

}  // namespace foundation
