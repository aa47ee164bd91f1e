#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace brindle {

// The SHA-256 fingerprint of a server's certificate, as a session file pins it: "sha256:" and 64
// hexadecimal digits. Read in either case and with or without colons between the byte pairs, so
// that what `openssl x509 -fingerprint -sha256` prints can be pasted; written in lower case
// without colons.
struct CertificatePin {
    static constexpr std::string_view prefix = "sha256:";
    std::array<unsigned char, 32> digest{};

    static std::optional<CertificatePin> parse(std::string_view text);
    std::string text() const;
    friend bool operator==(const CertificatePin&, const CertificatePin&) = default;
};

}  // namespace brindle
