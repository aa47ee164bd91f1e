#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace foundation {

// A random (version 4) UUID drawn from the kernel's random source.
class UUID {
public:
    static UUID random();
    // Upper-case, hyphenated: "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    std::string string() const;
    const std::array<uint8_t, 16>& bytes() const { return bytes_; }
    friend bool operator==(const UUID&, const UUID&) = default;

private:
    std::array<uint8_t, 16> bytes_{};
};

}  // namespace foundation
