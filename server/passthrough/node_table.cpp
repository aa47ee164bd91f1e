#include "server/passthrough/node_table.h"

#include <algorithm>

namespace brindle::server {

NodeTable::NodeTable(dev_t rootDevice, ino_t rootInode) {
    nodes_[kRootNodeID] = Node{rootDevice, rootInode, {}, kRootNodeID, "", true};
    ids_[{rootDevice, rootInode}] = kRootNodeID;
}

uint64_t NodeTable::record(dev_t device, ino_t inode, uint64_t parentID, const std::string& name, const Stamp& stamp) {
    std::lock_guard lock(mutex_);
    if (const auto it = ids_.find({device, inode}); it != ids_.end()) {
        if (it->second == kRootNodeID) return kRootNodeID;
        Node& node = nodes_.at(it->second);
        if (node.stamp == stamp) {
            node.parentID = parentID;
            node.name = name;
            return it->second;
        }
        unlinkedLocked(it->second);  // the number went to a new object, so the old one is gone
    }
    const uint64_t id = nextID_++;
    nodes_.emplace(id, Node{device, inode, stamp, parentID, name, true});
    ids_[{device, inode}] = id;
    return id;
}

std::optional<NodeTable::Node> NodeTable::find(uint64_t id) const {
    std::lock_guard lock(mutex_);
    const auto it = nodes_.find(id);
    if (it == nodes_.end()) return std::nullopt;
    return it->second;
}

std::optional<uint64_t> NodeTable::idOf(dev_t device, ino_t inode) const {
    std::lock_guard lock(mutex_);
    const auto it = ids_.find({device, inode});
    if (it == ids_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::vector<std::string>> NodeTable::path(uint64_t id) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    while (id != kRootNodeID) {
        const auto it = nodes_.find(id);
        // A chain longer than the table is a loop left by moves made behind the server's back.
        if (it == nodes_.end() || !it->second.linked || names.size() > nodes_.size()) return std::nullopt;
        names.push_back(it->second.name);
        id = it->second.parentID;
    }
    std::reverse(names.begin(), names.end());
    return names;
}

void NodeTable::moved(uint64_t id, uint64_t newParentID, const std::string& newName) {
    std::lock_guard lock(mutex_);
    const auto it = nodes_.find(id);
    if (it == nodes_.end() || id == kRootNodeID) return;
    it->second.parentID = newParentID;
    it->second.name = newName;
}

void NodeTable::unlinked(uint64_t id) {
    std::lock_guard lock(mutex_);
    unlinkedLocked(id);
}

void NodeTable::retire(dev_t device, ino_t inode, const Stamp& stamp) {
    std::lock_guard lock(mutex_);
    const auto it = ids_.find({device, inode});
    if (it != ids_.end() && nodes_.at(it->second).stamp == stamp) unlinkedLocked(it->second);
}

void NodeTable::unlinkedLocked(uint64_t id) {
    const auto it = nodes_.find(id);
    if (it == nodes_.end() || id == kRootNodeID) return;
    it->second.linked = false;
    const auto key = std::make_pair(it->second.device, it->second.inode);
    const auto idIt = ids_.find(key);
    if (idIt != ids_.end() && idIt->second == id) ids_.erase(idIt);
    if (it->second.pins == 0) nodes_.erase(it);
}

bool NodeTable::pin(uint64_t id) {
    std::lock_guard lock(mutex_);
    const auto it = nodes_.find(id);
    if (it == nodes_.end()) return false;
    ++it->second.pins;
    return true;
}

void NodeTable::unpin(uint64_t id) {
    std::lock_guard lock(mutex_);
    const auto it = nodes_.find(id);
    if (it == nodes_.end() || it->second.pins == 0) return;
    if (--it->second.pins == 0 && !it->second.linked) nodes_.erase(it);
}

size_t NodeTable::size() const {
    std::lock_guard lock(mutex_);
    return nodes_.size();
}

}  // namespace brindle::server
