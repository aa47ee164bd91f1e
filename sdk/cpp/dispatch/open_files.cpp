#include "sdk/cpp/dispatch/open_files.h"

#include <vector>

namespace brindle::sdk {

std::optional<OpenFiles::Entry> OpenFiles::find(uint64_t connectionID, NodeId node) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find({connectionID, node});
    if (it == entries_.end()) return std::nullopt;
    return it->second;
}

bool OpenFiles::reopen(uint64_t connectionID, NodeId node, uint32_t modes) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find({connectionID, node});
    if (it == entries_.end() || (modes & ~it->second.modes) != 0) return false;
    ++it->second.opens;
    return true;
}

OpenFiles::Put OpenFiles::put(uint64_t connectionID, NodeId node, std::shared_ptr<OpenFile> file, uint32_t modes) {
    std::lock_guard lock(mutex_);
    const auto [it, inserted] = entries_.try_emplace({connectionID, node});
    if (inserted && entries_.size() > limit_) {
        entries_.erase(it);
        return Put::full;
    }
    // What was there leaves with `file`, once the lock is let go.
    std::swap(it->second.file, file);
    it->second.modes |= modes;
    ++it->second.opens;
    return inserted ? Put::added : Put::replaced;
}

bool OpenFiles::remove(uint64_t connectionID, NodeId node) {
    Entry removed;  // let go after the lock
    std::lock_guard lock(mutex_);
    const auto it = entries_.find({connectionID, node});
    if (it == entries_.end()) return false;
    if (--it->second.opens > 0) return true;
    removed = std::move(it->second);
    entries_.erase(it);
    return true;
}

void OpenFiles::removeConnection(uint64_t connectionID) {
    std::vector<Entry> removed;  // let go after the lock
    std::lock_guard lock(mutex_);
    auto it = entries_.lower_bound({connectionID, 0});
    while (it != entries_.end() && it->first.first == connectionID) {
        removed.push_back(std::move(it->second));
        it = entries_.erase(it);
    }
}

size_t OpenFiles::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace brindle::sdk
