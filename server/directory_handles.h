#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace brindle::server {

// Handles of open directories. A handle names its directory only: listings continue from the
// cookie, so no descriptor is held between calls.
class DirectoryHandles {
public:
    explicit DirectoryHandles(size_t limit) : limit_(limit) {}

    // A new handle, or none when the table is full.
    std::optional<uint64_t> open(uint64_t nodeID);
    std::optional<uint64_t> nodeOf(uint64_t handle) const;
    bool close(uint64_t handle, uint64_t nodeID);

private:
    const size_t limit_;
    mutable std::mutex mutex_;
    uint64_t next_ = 1;
    std::unordered_map<uint64_t, uint64_t> handles_;
};

}  // namespace brindle::server
