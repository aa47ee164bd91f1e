#include "server/directory_handles.h"

namespace brindle::server {

namespace {

// Generations stay below 2^31 so that a cookie (generation above bit 32) fits a signed 64-bit number.
constexpr uint32_t kLastGeneration = 0x7fffffff;

}  // namespace

std::optional<uint64_t> DirectoryHandles::open(uint64_t nodeID) {
    std::lock_guard lock(mutex_);
    if (handles_.size() >= limit_) return std::nullopt;
    const uint64_t handle = next_++;
    handles_.emplace(handle, OpenDirectory{nodeID});
    return handle;
}

std::optional<uint64_t> DirectoryHandles::nodeOf(uint64_t handle) const {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return std::nullopt;
    return it->second.nodeID;
}

bool DirectoryHandles::close(uint64_t handle, uint64_t nodeID) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end() || it->second.nodeID != nodeID) return false;
    handles_.erase(it);
    return true;
}

std::optional<uint32_t> DirectoryHandles::beginListing(uint64_t handle, Names names) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return std::nullopt;
    OpenDirectory& directory = it->second;
    const uint32_t generation = directory.nextGeneration;
    directory.nextGeneration = generation == kLastGeneration ? 1 : generation + 1;
    directory.listings.emplace_back(generation, std::move(names));
    if (directory.listings.size() > kListingsPerHandle) directory.listings.pop_front();
    return generation;
}

DirectoryHandles::Names DirectoryHandles::listing(uint64_t handle, uint32_t generation) const {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return nullptr;
    for (const auto& [kept, names] : it->second.listings)
        if (kept == generation) return names;
    return nullptr;
}

}  // namespace brindle::server
