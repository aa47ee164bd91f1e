#include "protocol/certificate_pin.h"

namespace brindle {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<CertificatePin> CertificatePin::parse(std::string_view text) {
    if (!text.starts_with(prefix)) return std::nullopt;
    text.remove_prefix(prefix.size());
    const bool colons = text.size() == 32 * 3 - 1;
    if (text.size() != (colons ? 32 * 3 - 1 : 64)) return std::nullopt;
    CertificatePin pin;
    for (size_t byte = 0; byte < pin.digest.size(); ++byte) {
        const size_t at = byte * (colons ? 3 : 2);
        if (colons && byte > 0 && text[at - 1] != ':') return std::nullopt;
        const int high = hexValue(text[at]);
        const int low = hexValue(text[at + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        pin.digest[byte] = static_cast<unsigned char>(high * 16 + low);
    }
    return pin;
}

std::string CertificatePin::text() const {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text(prefix);
    for (const unsigned char byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0xf];
    }
    return text;
}

}  // namespace brindle
