#pragma once

#include "host/fuse/inodes/inode_table.h"
#include "host/fuse/inodes/lookup_counts.h"
#include "host/fuse/volumes/current_volume.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

namespace brindle::host {

// The item behind an inode on a generation's volume, or the Linux errno to answer instead.
struct RecoveredItem {
    std::shared_ptr<BrindleItem> item;
    int linuxErrno = 0;
};

// Finds the item of an inode the kernel got on an earlier connection again on `generation`: by the
// name it was last handed out under, in its parent found again first. An inode whose name leads to
// nothing or to an object of another type is stale for good (ESTALE). Waits for the server at most
// until `until` (none: without a bound).
RecoveredItem recoverItem(InodeTable& inodes, LookupCounts& lookups, const VolumeGeneration& generation, uint64_t inode,
                          std::optional<std::chrono::steady_clock::time_point> until);

}  // namespace brindle::host
