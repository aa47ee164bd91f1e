#include "sdk/cpp/dispatch/open_files.h"

#include "sdk/cpp/dispatch/connection_share.h"

#include <vector>

namespace brindle::sdk {

OpenFiles::OpenFiles(size_t limit) : limit_(limit), share_(connectionShare(limit)) {}

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
    if (inserted) {
        const auto held = heldBy_.find(connectionID);
        if (entries_.size() > limit_ || (held != heldBy_.end() && held->second >= share_)) {
            entries_.erase(it);
            return Put::full;
        }
        ++heldBy_[connectionID];
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
    if (const auto held = heldBy_.find(connectionID); --held->second == 0) heldBy_.erase(held);
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
    heldBy_.erase(connectionID);
}

size_t OpenFiles::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace brindle::sdk
