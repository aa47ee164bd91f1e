#include "host/fuse/inode_table.h"

#include "module/volume/BrindleVolume.h"

#include <algorithm>

namespace brindle::host {

uint64_t nodeIDOfItem(const BrindleItem& item) { return BrindleVolume::placeOfItem(item).nodeID; }

InodeTable::InodeTable(ItemPtr root, uint64_t rootNodeID) : rootNodeID_(rootNodeID) {
    entries_[rootInode] = Entry{std::move(root), 1, 0, 0};
}

uint64_t InodeTable::inodeForNodeID(uint64_t nodeID) const {
    if (nodeID == rootNodeID_) return rootInode;
    if (nodeID == rootInode) return rootNodeID_;
    return nodeID;
}

uint64_t InodeTable::inodeOfItem(const BrindleItem& item) const { return inodeForNodeID(nodeIDOfItem(item)); }

uint64_t InodeTable::nodeIDForInode(uint64_t inode) const {
    // The swap is its own inverse.
    return inodeForNodeID(inode);
}

InodeTable::ItemPtr InodeTable::item(uint64_t inode) const {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    return found == entries_.end() ? nullptr : found->second.item;
}

size_t InodeTable::NameHash::operator()(const Name& name) const {
    return std::hash<std::string>()(name.second) ^ (std::hash<uint64_t>()(name.first) * 0x9E3779B97F4A7C15ull);
}

uint64_t InodeTable::remember(const ItemPtr& item, uint64_t lookups) {
    const uint64_t inode = inodeOfItem(*item);
    std::lock_guard lock(mutex_);
    Entry& entry = entries_[inode];
    entry.item = item;
    entry.lookups += lookups;
    return inode;
}

uint64_t InodeTable::remember(const ItemPtr& item, uint64_t lookups, uint64_t parentInode, const std::string& name) {
    const uint64_t inode = inodeOfItem(*item);
    std::lock_guard lock(mutex_);
    Entry& entry = entries_[inode];
    entry.item = item;
    entry.lookups += lookups;
    nameLocked(inode, entry, parentInode, name);
    return inode;
}

void InodeTable::rename(uint64_t inode, uint64_t parentInode, const std::string& name) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    if (found != entries_.end()) nameLocked(inode, found->second, parentInode, name);
}

void InodeTable::nameLocked(uint64_t inode, Entry& entry, uint64_t parentInode, const std::string& name) {
    Name key{parentInode, name};
    names_[key] = inode;
    if (std::find(entry.names.begin(), entry.names.end(), key) == entry.names.end())
        entry.names.push_back(std::move(key));
}

InodeTable::ItemPtr InodeTable::itemNamed(uint64_t parentInode, const std::string& name) const {
    ItemPtr item;
    {
        std::lock_guard lock(mutex_);
        const auto named = names_.find(Name{parentInode, name});
        if (named == names_.end()) return nullptr;
        const auto found = entries_.find(named->second);
        if (found == entries_.end()) return nullptr;
        item = found->second.item;
    }
    // A rename or a newer record may have moved the item since the kernel was given this name.
    const auto place = BrindleVolume::placeOfItem(*item);
    if (place.name != name || inodeForNodeID(place.parentNodeID) != parentInode) return nullptr;
    return item;
}

void InodeTable::eraseLocked(std::unordered_map<uint64_t, Entry>::iterator found) {
    for (const Name& key : found->second.names) {
        const auto named = names_.find(key);
        if (named != names_.end() && named->second == found->first) names_.erase(named);
    }
    entries_.erase(found);
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
    eraseLocked(found);
    return item;
}

void InodeTable::unlessReferenced(uint64_t inode, const std::function<void()>& release) {
    std::lock_guard lock(mutex_);
    if (!entries_.contains(inode)) release();
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
        eraseLocked(found);
    }
    return release;
}

bool InodeTable::ContentStamp::operator==(const ContentStamp& other) const {
    return size == other.size && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec && verifier == other.verifier;
}

bool InodeTable::restamp(uint64_t inode, const ContentStamp& stamp,
                         std::optional<std::chrono::steady_clock::duration> within) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    if (found == entries_.end()) return false;
    Entry& entry = found->second;
    const bool unchanged = entry.stamp == stamp && (!within || now - entry.cachedSince < *within);
    entry.stamp = stamp;
    if (!unchanged) entry.cachedSince = now;
    return unchanged;
}

void InodeTable::clearStamp(uint64_t inode) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    if (found != entries_.end()) found->second.stamp.reset();
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
