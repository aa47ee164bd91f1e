#include "server/passthrough/node_table.h"

#include <algorithm>

namespace brindle::passthrough {

NodeTable::NodeTable(dev_t rootDevice, ino_t rootInode) : nodes_(Location{rootDevice, rootInode, {}, kRootNode, ""}) {
    ids_[{rootDevice, rootInode}] = kRootNode;
}

uint64_t NodeTable::record(dev_t device, ino_t inode, uint64_t parentID, const std::string& name, const Stamp& stamp) {
    std::lock_guard lock(mutex_);
    if (const auto it = ids_.find({device, inode}); it != ids_.end()) {
        if (it->second == kRootNode) return kRootNode;
        bool same = false;
        nodes_.update(it->second, [&](Location& location) {
            same = location.stamp == stamp;
            if (!same) return;
            location.parentID = parentID;
            location.name = name;
        });
        if (same) return it->second;
        unlinkedLocked(it->second);  // the number went to a new object, so the old one is gone
    }
    const uint64_t id = nodes_.add(Location{device, inode, stamp, parentID, name});
    ids_[{device, inode}] = id;
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
    nodes_.update(id, [&](Location& location) {
        location.parentID = newParentID;
        location.name = newName;
    });
}

void NodeTable::unlinked(uint64_t id) {
    std::lock_guard lock(mutex_);
    unlinkedLocked(id);
}

void NodeTable::retire(dev_t device, ino_t inode, const Stamp& stamp) {
    std::lock_guard lock(mutex_);
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
    nodes_.unlink(id);
}

}  // namespace brindle::passthrough
