#pragma once

#include <cstddef>
#include <cstdint>

namespace fskit {

// Caller-owned memory a read places file data into. Whoever hands one out keeps it alive
// (through a shared pointer) for as long as the module may write into it.
class FSMutableFileDataBuffer {
public:
    FSMutableFileDataBuffer(void* bytes, uint64_t length) : bytes_(bytes), length_(length) {}
    virtual ~FSMutableFileDataBuffer() = default;

    void* mutableBytes() const { return bytes_; }
    uint64_t length() const { return length_; }

private:
    void* bytes_;
    uint64_t length_;
};

}  // namespace fskit
