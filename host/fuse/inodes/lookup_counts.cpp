#include "host/fuse/inodes/lookup_counts.h"

namespace brindle::host {

LookupCounts::LookupCounts(InodeTable& inodes, Reclaim reclaim) : inodes_(inodes), reclaim_(std::move(reclaim)) {}

bool LookupCounts::handOver(const std::vector<Entry>& entries, const std::function<int()>& send) {
    for (const Entry& entry : entries) inodes_.remember(entry.item, 1, entry.parentInode, entry.name);
    if (send() == 0) return true;
    for (const Entry& entry : entries) forget(inodes_.inodeOfItem(*entry.item), 1);
    return false;
}

void LookupCounts::forget(uint64_t inode, uint64_t lookups) { reclaim(inodes_.forget(inode, lookups)); }

void LookupCounts::releaseUnreferenced(const ItemPtr& item) {
    if (!item) return;
    inodes_.unlessReferenced(inodes_.inodeOfItem(*item), [&] { reclaim_(item); });
}

void LookupCounts::reclaim(const ItemPtr& item) {
    if (item) reclaim_(item);
}

}  // namespace brindle::host
