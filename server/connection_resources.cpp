#include "server/connection_resources.h"

#include "server/file_system.h"

namespace brindle::server {

void HandleOwners::opened(uint64_t connectionID, uint64_t handle) {
    std::lock_guard lock(mutex_);
    handles_[connectionID].insert(handle);
}

void HandleOwners::closed(uint64_t connectionID, uint64_t handle) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(connectionID);
    if (it == handles_.end()) return;
    it->second.erase(handle);
    if (it->second.empty()) handles_.erase(it);
}

std::vector<uint64_t> HandleOwners::takeAll(uint64_t connectionID) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(connectionID);
    if (it == handles_.end()) return {};
    std::vector<uint64_t> taken(it->second.begin(), it->second.end());
    handles_.erase(it);
    return taken;
}

// Open files are kept per node and shared by every connection that opens the node, so they
// stay until their last close; only the directory handles belong to one connection here.
void FileSystem::connectionEnded(uint64_t connectionID) {
    for (const uint64_t handle : handleOwners_.takeAll(connectionID)) {
        if (const auto nodeID = directories_.nodeOf(handle)) directories_.close(handle, *nodeID);
    }
}

}  // namespace brindle::server
