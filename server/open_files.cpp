#include "server/open_files.h"

namespace brindle::server {

std::optional<OpenFiles::Entry> OpenFiles::find(uint64_t nodeID) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(nodeID);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
}

bool OpenFiles::put(uint64_t nodeID, Entry entry) {
    std::lock_guard lock(mutex_);
    if (!entries_.contains(nodeID) && entries_.size() >= limit_) return false;
    entries_[nodeID] = std::move(entry);
    return true;
}

void OpenFiles::remove(uint64_t nodeID) {
    std::lock_guard lock(mutex_);
    entries_.erase(nodeID);
}

size_t OpenFiles::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace brindle::server
