#include "server/directory_handles.h"

namespace brindle::server {

std::optional<uint64_t> DirectoryHandles::open(uint64_t nodeID) {
    std::lock_guard lock(mutex_);
    if (handles_.size() >= limit_) return std::nullopt;
    const uint64_t handle = next_++;
    handles_[handle] = nodeID;
    return handle;
}

std::optional<uint64_t> DirectoryHandles::nodeOf(uint64_t handle) const {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return std::nullopt;
    return it->second;
}

bool DirectoryHandles::close(uint64_t handle, uint64_t nodeID) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end() || it->second != nodeID) return false;
    handles_.erase(it);
    return true;
}

}  // namespace brindle::server
