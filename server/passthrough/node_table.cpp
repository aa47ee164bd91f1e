#include "server/passthrough/node_table.h"

#include <algorithm>

namespace brindle::passthrough {

NodeTable::NodeTable(dev_t rootDevice, ino_t rootInode) : nodes_(Location{rootDevice, rootInode, {}, kRootNode, ""}) {
    ids_[{rootDevice, rootInode}] = kRootNode;
}

uint64_t NodeTable::record(dev_t device, ino_t inode, uint64_t parentID, const std::string& name, const Stamp& stamp) {
    std::lock_guard lock(mutex_);
    const uint64_t id = recordLocked(device, inode, parentID, name, stamp);
    if (id != kRootNode) {
        ++handouts_[id];
        released_.erase(id);
    }
    return id;
}

void NodeTable::recordUnannounced(dev_t device, ino_t inode, uint64_t parentID, const std::string& name,
                                  const Stamp& stamp) {
    std::lock_guard lock(mutex_);
    recordLocked(device, inode, parentID, name, stamp);
}

uint64_t NodeTable::recordLocked(dev_t device, ino_t inode, uint64_t parentID, const std::string& name,
                                 const Stamp& stamp) {
    if (const auto it = ids_.find({device, inode}); it != ids_.end()) {
        if (it->second == kRootNode) return kRootNode;
        bool same = false;
        uint64_t oldParentID = 0;
        nodes_.update(it->second, [&](Location& location) {
            same = location.stamp == stamp;
            if (!same) return;
            oldParentID = location.parentID;
            location.parentID = parentID;
            location.name = name;
        });
        if (same) {
            movedLocked(it->second, oldParentID, parentID);
            return it->second;
        }
        unlinkedLocked(it->second);  // the number went to a new object, so the old one is gone
    }
    uint64_t id = 0;
    if (const auto retired = retired_.find({device, inode}); retired != retired_.end()) {
        if (retired->second.stamp == stamp && nodes_.restore(retired->second.id, Location{device, inode, stamp, parentID, name})) {
            id = retired->second.id;
        }
        retired_.erase(retired);  // given back, or the inode number went to a new object
    }
    if (id == 0) id = nodes_.add(Location{device, inode, stamp, parentID, name});
    ids_[{device, inode}] = id;
    ++children_[parentID];
    return id;
}

std::optional<NodeTable::Node> NodeTable::find(uint64_t id) const {
    auto found = nodes_.find(id);
    if (!found) return std::nullopt;
    return Node{std::move(found->value), found->linked};
}

std::optional<uint64_t> NodeTable::idOf(dev_t device, ino_t inode) const {
    std::lock_guard lock(mutex_);
    const auto it = ids_.find({device, inode});
    if (it == ids_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::vector<std::string>> NodeTable::path(uint64_t id) const {
    std::vector<std::string> names;
    const size_t count = nodes_.size();
    while (id != kRootNode) {
        auto node = nodes_.find(id);
        // A chain longer than the table is a loop left by moves made behind the server's back.
        if (!node || !node->linked || names.size() > count) return std::nullopt;
        names.push_back(std::move(node->value.name));
        id = node->value.parentID;
    }
    std::reverse(names.begin(), names.end());
    return names;
}

void NodeTable::moved(uint64_t id, uint64_t newParentID, const std::string& newName) {
    if (id == kRootNode) return;
    std::lock_guard lock(mutex_);
    uint64_t oldParentID = 0;
    const bool found = nodes_.update(id, [&](Location& location) {
        oldParentID = location.parentID;
        location.parentID = newParentID;
        location.name = newName;
    });
    if (found) movedLocked(id, oldParentID, newParentID);
}

void NodeTable::movedLocked(uint64_t id, uint64_t oldParentID, uint64_t newParentID) {
    if (oldParentID == newParentID) return;
    const auto node = nodes_.find(id);
    if (!node || !node->linked) return;
    ++children_[newParentID];
    if (const auto old = children_.find(oldParentID); old != children_.end() && --old->second == 0) children_.erase(old);
}

void NodeTable::unlinked(uint64_t id) {
    std::lock_guard lock(mutex_);
    unlinkedLocked(id);
}

void NodeTable::retire(dev_t device, ino_t inode, const Stamp& stamp) {
    std::lock_guard lock(mutex_);
    if (const auto retired = retired_.find({device, inode}); retired != retired_.end() && retired->second.stamp == stamp) {
        retired_.erase(retired);
    }
    const auto it = ids_.find({device, inode});
    if (it == ids_.end()) return;
    const auto node = nodes_.find(it->second);
    if (node && node->value.stamp == stamp) unlinkedLocked(it->second);
}

void NodeTable::unlinkedLocked(uint64_t id) {
    const auto node = nodes_.find(id);
    if (!node || id == kRootNode) return;
    const auto key = std::make_pair(node->value.device, node->value.inode);
    const auto idIt = ids_.find(key);
    if (idIt != ids_.end() && idIt->second == id) ids_.erase(idIt);
    if (node->linked) {
        const auto parent = children_.find(node->value.parentID);
        if (parent != children_.end() && --parent->second == 0) children_.erase(parent);
    }
    // Its last pin lets it go now; a forget of it finds nothing to count.
    handouts_.erase(id);
    released_.erase(id);
    nodes_.unlink(id);
}

std::vector<uint64_t> NodeTable::forget(uint64_t id, uint64_t count, const std::function<void(uint64_t)>& dropping) {
    std::vector<uint64_t> dropped;
    if (id == kRootNode) return dropped;
    std::lock_guard lock(mutex_);
    const auto handed = handouts_.find(id);
    if (handed == handouts_.end() || count > handed->second) return dropped;
    handed->second -= count;
    if (handed->second > 0) return dropped;
    handouts_.erase(handed);
    released_.insert(id);
    dropReleasedLocked(id, dropped, dropping);
    return dropped;
}

void NodeTable::dropReleasedLocked(uint64_t id, std::vector<uint64_t>& dropped,
                                   const std::function<void(uint64_t)>& dropping) {
    while (id != kRootNode && released_.contains(id) && !children_.contains(id)) {
        const auto node = nodes_.find(id);
        if (!node || !node->linked) {
            released_.erase(id);  // an unlinked node goes with its last pin
            return;
        }
        if (!nodes_.dropUnpinned(id)) return;  // held open: it stays
        released_.erase(id);
        dropped.push_back(id);
        if (dropping) dropping(id);
        const auto key = std::make_pair(node->value.device, node->value.inode);
        const auto idIt = ids_.find(key);
        if (idIt != ids_.end() && idIt->second == id) {
            ids_.erase(idIt);
            retired_[key] = Retired{id, node->value.stamp};
        }
        const auto parent = children_.find(node->value.parentID);
        if (parent == children_.end() || --parent->second > 0) return;
        children_.erase(parent);
        id = node->value.parentID;
    }
}

}  // namespace brindle::passthrough
