#include "host/fuse/inodes/inode_table.h"

#include "module/volume/BrindleVolume.h"

#include <algorithm>

namespace brindle::host {

uint64_t nodeIDOfItem(const BrindleItem& item) { return BrindleVolume::placeOfItem(item).nodeID; }

namespace {

bool isSameObject(const BrindleItem& held, const BrindleItem& found) { return ObjectIdentity::of(held).matches(found); }

bool sameTime(const timespec& one, const timespec& other) {
    return one.tv_sec == other.tv_sec && one.tv_nsec == other.tv_nsec;
}

}  // namespace

InodeTable::InodeTable(ItemPtr root, uint64_t rootNodeID, size_t forgottenCapacity)
    : rootNodeID_(rootNodeID), forgotten_(forgottenCapacity, firstOwnInode) {
    entries_[rootInode] = Entry{std::move(root), 1, {}, {}, 1, false, std::nullopt};
}

uint64_t InodeTable::swappedLocked(uint64_t nodeID) const {
    if (nodeID == rootNodeID_) return rootInode;
    if (nodeID == rootInode) return rootNodeID_;
    return nodeID;
}

uint64_t InodeTable::inodeForNodeID(uint64_t nodeID) {
    std::lock_guard lock(mutex_);
    return inodeForNodeLocked(nodeID, nullptr);
}

std::optional<uint64_t> InodeTable::boundInodeForNodeID(uint64_t nodeID) const {
    std::lock_guard lock(mutex_);
    if (generation_ == 1) return swappedLocked(nodeID);
    const auto bound = inodeOfNode_.find(nodeID);
    if (bound == inodeOfNode_.end()) return std::nullopt;
    return bound->second;
}

bool InodeTable::referencesNode(uint64_t nodeID) const {
    std::lock_guard lock(mutex_);
    uint64_t inode = swappedLocked(nodeID);
    if (generation_ > 1) {
        const auto bound = inodeOfNode_.find(nodeID);
        if (bound == inodeOfNode_.end()) return false;
        inode = bound->second;
    }
    const auto found = entries_.find(inode);
    return found != entries_.end() && found->second.generation == generation_;
}

std::vector<uint64_t> InodeTable::heldInodes() const {
    std::lock_guard lock(mutex_);
    std::vector<uint64_t> inodes;
    inodes.reserve(entries_.size());
    for (const auto& [inode, entry] : entries_) inodes.push_back(inode);
    return inodes;
}

std::vector<std::pair<uint64_t, std::string>> InodeTable::heldNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<uint64_t, std::string>> names;
    names.reserve(names_.size());
    for (const auto& [name, inode] : names_) names.push_back(name);
    return names;
}

uint64_t InodeTable::inodeOfItem(const BrindleItem& item) { return inodeForNodeID(nodeIDOfItem(item)); }

uint64_t InodeTable::nodeIDForInode(uint64_t inode) const {
    std::lock_guard lock(mutex_);
    if (generation_ == 1) return swappedLocked(inode);  // the swap is its own inverse
    const auto found = nodeOfInode_.find(inode);
    return found == nodeOfInode_.end() ? 0 : found->second;
}

void InodeTable::bindLocked(uint64_t nodeID, uint64_t inode) {
    inodeOfNode_[nodeID] = inode;
    nodeOfInode_[inode] = nodeID;
}

bool InodeTable::takenLocked(uint64_t inode) const {
    return entries_.contains(inode) || nodeOfInode_.contains(inode) || forgotten_.reserves(inode);
}

uint64_t InodeTable::inodeForNodeLocked(uint64_t nodeID, const ItemPtr& known) {
    if (generation_ == 1) return swappedLocked(nodeID);
    if (const auto bound = inodeOfNode_.find(nodeID); bound != inodeOfNode_.end()) return bound->second;
    // A number kept for a forgotten inode is bound only once the kernel is handed its node again;
    // until then the record keeps it.
    const auto again = [&](uint64_t inode) {
        if (known) bindLocked(nodeID, inode);
        return inode;
    };
    if (const auto kept = forgotten_.inodeOfNode(nodeID)) return again(*kept);
    // A node under the name of an inode the kernel still holds from before is that inode again.
    const ItemPtr item = known ? known : (trackedItem_ ? trackedItem_(nodeID) : nullptr);
    if (item) {
        const auto place = BrindleVolume::placeOfItem(*item);
        const auto parent = inodeOfNode_.find(place.parentNodeID);
        if (parent != inodeOfNode_.end()) {
            const auto named = names_.find(Name{parent->second, place.name});
            const auto held = named == names_.end() ? entries_.end() : entries_.find(named->second);
            if (held != entries_.end()) {
                Entry& entry = held->second;
                if (!entry.stale && entry.generation < generation_ && isSameObject(*entry.item, *item)) {
                    entry.item = item;
                    entry.generation = generation_;
                    bindLocked(nodeID, named->second);
                    return named->second;
                }
            }
            if (const auto kept = forgotten_.inodeNamed(Name{parent->second, place.name}, *item, nodeID))
                return again(*kept);
        }
    }
    uint64_t inode = swappedLocked(nodeID);
    if (takenLocked(inode)) {
        while (takenLocked(nextOwnInode_)) ++nextOwnInode_;
        inode = nextOwnInode_++;
    } else if (!known) {
        // Named only (a listing, an attribute reply): the number is the node's own until the kernel
        // is handed the node, and a binding kept now would outlive every entry of a large walk.
        return inode;
    }
    bindLocked(nodeID, inode);
    return inode;
}

InodeTable::ItemPtr InodeTable::currentItemLocked(const Entry& entry) const {
    return entry.generation == generation_ && !entry.stale ? entry.item : nullptr;
}

InodeTable::ItemPtr InodeTable::item(uint64_t inode) const {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    return found == entries_.end() ? nullptr : currentItemLocked(found->second);
}

std::optional<InodeTable::Held> InodeTable::held(uint64_t inode) const {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    if (found == entries_.end()) return std::nullopt;
    const Entry& entry = found->second;
    return Held{entry.item, entry.generation, entry.stale, entry.lastName};
}

uint64_t InodeTable::generation() const {
    std::lock_guard lock(mutex_);
    return generation_;
}

void InodeTable::startGeneration(uint64_t number, const ItemPtr& root, uint64_t rootNodeID, TrackedItem trackedItem) {
    std::lock_guard lock(mutex_);
    generation_ = number;
    rootNodeID_ = rootNodeID;
    inodeOfNode_.clear();
    nodeOfInode_.clear();
    forgotten_.startGeneration();
    trackedItem_ = std::move(trackedItem);
    Entry& entry = entries_[rootInode];
    entry.item = root;
    entry.generation = number;
    bindLocked(rootNodeID, rootInode);
}

InodeTable::ItemPtr InodeTable::rebind(uint64_t inode, const ItemPtr& found, uint64_t number) {
    const auto place = BrindleVolume::placeOfItem(*found);
    std::lock_guard lock(mutex_);
    const auto held = entries_.find(inode);
    if (held == entries_.end() || number != generation_) return nullptr;
    Entry& entry = held->second;
    if (entry.stale) return nullptr;
    if (entry.generation == generation_) return entry.item;
    const auto bound = inodeOfNode_.find(place.nodeID);
    if (!isSameObject(*entry.item, *found) || (bound != inodeOfNode_.end() && bound->second != inode)) {
        entry.stale = true;
        return nullptr;
    }
    entry.item = found;
    entry.generation = generation_;
    bindLocked(place.nodeID, inode);
    return found;
}

void InodeTable::markStale(uint64_t inode) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    if (found != entries_.end() && found->second.generation < generation_) found->second.stale = true;
}

InodeTable::Entry& InodeTable::rememberLocked(const ItemPtr& item, uint64_t lookups, uint64_t& inode) {
    inode = inodeForNodeLocked(nodeIDOfItem(*item), item);
    forgotten_.handedOut(inode);
    Entry& entry = entries_[inode];
    entry.item = item;
    entry.generation = generation_;
    entry.lookups += lookups;
    return entry;
}

uint64_t InodeTable::remember(const ItemPtr& item, uint64_t lookups) {
    std::lock_guard lock(mutex_);
    uint64_t inode = 0;
    rememberLocked(item, lookups, inode);
    return inode;
}

uint64_t InodeTable::remember(const ItemPtr& item, uint64_t lookups, uint64_t parentInode, const std::string& name) {
    std::lock_guard lock(mutex_);
    uint64_t inode = 0;
    Entry& entry = rememberLocked(item, lookups, inode);
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
    entry.lastName = key;
    if (std::find(entry.names.begin(), entry.names.end(), key) == entry.names.end())
        entry.names.push_back(std::move(key));
}

InodeTable::ItemPtr InodeTable::itemNamed(uint64_t parentInode, const std::string& name) {
    std::lock_guard lock(mutex_);
    const auto named = names_.find(Name{parentInode, name});
    if (named == names_.end()) return nullptr;
    const auto found = entries_.find(named->second);
    if (found == entries_.end()) return nullptr;
    ItemPtr item = currentItemLocked(found->second);
    if (!item) return nullptr;
    // A rename or a newer record may have moved the item since the kernel was given this name.
    const auto place = BrindleVolume::placeOfItem(*item);
    if (place.name != name || inodeForNodeLocked(place.parentNodeID, nullptr) != parentInode) return nullptr;
    return item;
}

std::optional<uint64_t> InodeTable::inodeNamed(uint64_t parentInode, const std::string& name) const {
    std::lock_guard lock(mutex_);
    const auto named = names_.find(Name{parentInode, name});
    if (named == names_.end()) return std::nullopt;
    return named->second;
}

std::vector<std::pair<uint64_t, std::string>> InodeTable::takeOtherNames(uint64_t inode, uint64_t parentInode,
                                                                         const std::string& name) {
    std::lock_guard lock(mutex_);
    std::vector<Name> others;
    const auto found = entries_.find(inode);
    if (found == entries_.end()) return others;
    auto& names = found->second.names;
    const Name kept{parentInode, name};
    for (auto it = names.begin(); it != names.end();) {
        if (*it == kept) {
            ++it;
            continue;
        }
        const auto named = names_.find(*it);
        if (named != names_.end() && named->second == inode) names_.erase(named);
        others.push_back(std::move(*it));
        it = names.erase(it);
    }
    return others;
}

void InodeTable::eraseLocked(std::unordered_map<uint64_t, Entry>::iterator found) {
    const Entry& entry = found->second;
    // A stale inode's name leads to another object; its number is still kept from new ones.
    const bool current = entry.generation == generation_ && !entry.stale;
    forgotten_.keep(found->first, entry.stale ? std::nullopt : entry.lastName, ObjectIdentity::of(*entry.item),
                    current ? std::optional(nodeIDOfItem(*entry.item)) : std::nullopt);
    for (const Name& key : found->second.names) {
        const auto named = names_.find(key);
        if (named != names_.end() && named->second == found->first) names_.erase(named);
    }
    if (generation_ > 1 && found->second.generation == generation_) {
        if (const auto bound = nodeOfInode_.find(found->first); bound != nodeOfInode_.end()) {
            inodeOfNode_.erase(bound->second);
            nodeOfInode_.erase(bound);
        }
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
    if (entry.lookups > 0 || !entry.opens.empty()) return nullptr;
    // An earlier generation's item went with its volume; there is nothing to give back.
    ItemPtr item = currentItemLocked(entry);
    eraseLocked(found);
    return item;
}

void InodeTable::unlessReferenced(uint64_t inode, const std::function<void()>& release) {
    std::lock_guard lock(mutex_);
    if (!entries_.contains(inode)) release();
}

uint32_t InodeTable::keptModes(const Entry& entry, uint64_t generation) {
    const auto found = entry.opens.find(generation);
    if (found == entry.opens.end()) return 0;
    return (found->second.readers > 0 ? BrindleVolume::openModeRead : 0) |
           (found->second.writers > 0 ? BrindleVolume::openModeWrite : 0);
}

void InodeTable::recordOpen(uint64_t inode, uint32_t modes, uint64_t generation) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    if (found == entries_.end()) return;
    countOn(found->second.opens, modes, generation);
}

void InodeTable::countOn(std::map<uint64_t, Opens>& opens, uint32_t modes, uint64_t generation) {
    Opens& counted = opens[generation];
    ++counted.handles;
    if (modes & BrindleVolume::openModeRead) ++counted.readers;
    if (modes & BrindleVolume::openModeWrite) ++counted.writers;
}

bool InodeTable::countOff(std::map<uint64_t, Opens>& opens, uint32_t modes, uint64_t generation) {
    const auto found = opens.find(generation);
    if (found == opens.end()) return false;
    auto& counted = found->second;
    if ((modes & BrindleVolume::openModeRead) && counted.readers > 0) --counted.readers;
    if ((modes & BrindleVolume::openModeWrite) && counted.writers > 0) --counted.writers;
    if (--counted.handles == 0) opens.erase(found);
    return true;
}

InodeTable::Release InodeTable::recordRelease(uint64_t inode, uint32_t modes, uint64_t generation) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    if (found == entries_.end()) return {};
    Entry& entry = found->second;
    countOff(entry.opens, modes, generation);
    Release release{keptModes(entry, generation), nullptr};
    if (entry.opens.empty() && entry.lookups == 0 && inode != rootInode) {
        release.unreferenced = currentItemLocked(entry);
        eraseLocked(found);
    }
    return release;
}

void InodeTable::moveOpen(uint64_t inode, uint32_t modes, uint64_t from, uint64_t to) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    if (found != entries_.end() && countOff(found->second.opens, modes, from)) countOn(found->second.opens, modes, to);
}

uint64_t InodeTable::openCount(uint64_t inode) const {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    if (found == entries_.end()) return 0;
    uint64_t count = 0;
    for (const auto& [generation, opens] : found->second.opens) count += opens.handles;
    return count;
}

bool InodeTable::ContentStamp::operator==(const ContentStamp& other) const {
    const bool sameChange = changed && other.changed ? sameTime(*changed, *other.changed) : !changed && !other.changed;
    return size == other.size && sameTime(modified, other.modified) && verifier == other.verifier && sameChange;
}

bool InodeTable::restamp(uint64_t inode, const ContentStamp& stamp,
                         std::optional<std::chrono::steady_clock::duration> within) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    if (found == entries_.end()) return false;
    Entry& entry = found->second;
    const bool unchanged = entry.stamp == stamp && entry.stampGeneration == generation_ &&
                           (!within || now - entry.cachedSince < *within);
    entry.stamp = stamp;
    entry.stampGeneration = generation_;
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

size_t InodeTable::forgottenCount() const {
    std::lock_guard lock(mutex_);
    return forgotten_.size();
}

size_t InodeTable::boundNodeCount() const {
    std::lock_guard lock(mutex_);
    return inodeOfNode_.size();
}

uint64_t InodeTable::lookupCount(uint64_t inode) const {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(inode);
    return found == entries_.end() ? 0 : found->second.lookups;
}

}  // namespace brindle::host
