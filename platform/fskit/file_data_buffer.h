#pragma once

#include <cstddef>
#include <string>

namespace fskit {

// A caller-owned buffer that a read fills in place.
class FSMutableFileDataBuffer {
public:
    explicit FSMutableFileDataBuffer(size_t length) : bytes_(length, '\0') {}
    void* mutableBytes() { return bytes_.data(); }
    const void* bytes() const { return bytes_.data(); }
    size_t length() const { return bytes_.size(); }

private:
    std::string bytes_;
};

}  // namespace fskit
