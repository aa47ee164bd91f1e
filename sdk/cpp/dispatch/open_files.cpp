#include "sdk/cpp/dispatch/open_files.h"

namespace brindle::server {

std::optional<OpenFiles::Entry> OpenFiles::find(uint64_t connectionID, uint64_t nodeID) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find({connectionID, nodeID});
    if (it == entries_.end()) return std::nullopt;
    return it->second;
}

OpenFiles::Put OpenFiles::put(uint64_t connectionID, uint64_t nodeID, Entry entry) {
    std::lock_guard lock(mutex_);
    const auto [it, inserted] = entries_.try_emplace({connectionID, nodeID});
    if (inserted && entries_.size() > limit_) {
        entries_.erase(it);
        return Put::full;
    }
    it->second = std::move(entry);
    return inserted ? Put::added : Put::replaced;
}

bool OpenFiles::remove(uint64_t connectionID, uint64_t nodeID) {
    std::lock_guard lock(mutex_);
    return entries_.erase({connectionID, nodeID}) > 0;
}

std::vector<uint64_t> OpenFiles::removeConnection(uint64_t connectionID) {
    std::lock_guard lock(mutex_);
    std::vector<uint64_t> nodes;
    auto it = entries_.lower_bound({connectionID, 0});
    while (it != entries_.end() && it->first.first == connectionID) {
        nodes.push_back(it->first.second);
        it = entries_.erase(it);
    }
    return nodes;
}

size_t OpenFiles::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace brindle::server
