#include "host/fuse/inode_table.h"

#include "module/volume/BrindleVolume.h"

#include <algorithm>

namespace brindle::host {

uint64_t nodeIDOfItem(const BrindleItem& item) {
    std::lock_guard lock(item.fieldsMutex);
    return item.nodeID;
}

InodeTable::InodeTable(ItemPtr root, uint64_t rootNodeID) : rootNodeID_(rootNodeID) {
    entries_[rootInode] = Entry{std::move(root), 1, 0, 0};
}

uint64_t InodeTable::inodeForNodeID(uint64_t nodeID) const {
    if (nodeID == rootNodeID_) return rootInode;
    if (nodeID == rootInode) return rootNodeID_;
    return nodeID;
}

uint64_t InodeTable::nodeIDForInode(uint64_t inode) const {
    // The swap is its own inverse.
    return inodeForNodeID(inode);
}

InodeTable::ItemPtr InodeTable::item(uint64_t inode) const {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    return found == entries_.end() ? nullptr : found->second.item;
}

uint64_t InodeTable::remember(const ItemPtr& item, uint64_t lookups) {
    const uint64_t inode = inodeForNodeID(nodeIDOfItem(*item));
    std::lock_guard lock(mutex_);
    Entry& entry = entries_[inode];
    entry.item = item;
    entry.lookups += lookups;
    return inode;
}

InodeTable::ItemPtr InodeTable::forget(uint64_t inode, uint64_t lookups) {
    if (inode == rootInode) return nullptr;
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    if (found == entries_.end()) return nullptr;
    Entry& entry = found->second;
    entry.lookups -= std::min(entry.lookups, lookups);
    if (entry.lookups > 0 || entry.readers > 0 || entry.writers > 0) return nullptr;
    ItemPtr item = std::move(entry.item);
    entries_.erase(found);
    return item;
}

uint32_t InodeTable::keptModes(const Entry& entry) {
    return (entry.readers > 0 ? BrindleVolume::openModeRead : 0) | (entry.writers > 0 ? BrindleVolume::openModeWrite : 0);
}

void InodeTable::recordOpen(uint64_t inode, uint32_t modes) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    if (found == entries_.end()) return;
    if (modes & BrindleVolume::openModeRead) ++found->second.readers;
    if (modes & BrindleVolume::openModeWrite) ++found->second.writers;
}

InodeTable::Release InodeTable::recordRelease(uint64_t inode, uint32_t modes) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    if (found == entries_.end()) return {};
    Entry& entry = found->second;
    if ((modes & BrindleVolume::openModeRead) && entry.readers > 0) --entry.readers;
    if ((modes & BrindleVolume::openModeWrite) && entry.writers > 0) --entry.writers;
    Release release{keptModes(entry), nullptr};
    if (release.keepingModes == 0 && entry.lookups == 0 && inode != rootInode) {
        release.unreferenced = std::move(entry.item);
        entries_.erase(found);
    }
    return release;
}

size_t InodeTable::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

uint64_t InodeTable::lookupCount(uint64_t inode) const {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    return found == entries_.end() ? 0 : found->second.lookups;
}

}  // namespace brindle::host
