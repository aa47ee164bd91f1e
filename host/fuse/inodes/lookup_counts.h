#pragma once

#include "host/fuse/inodes/inode_table.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace brindle::host {

// The kernel's lookup count, kept by one rule. Every reply that hands the kernel an entry (lookup,
// mknod, mkdir, symlink, create, each readdirplus entry) counts it before the reply goes out, since
// a forget can follow at once; a reply that does not reach the kernel counts it off again; an item
// the kernel references neither by lookup nor by open goes back to the volume.
class LookupCounts {
public:
    using ItemPtr = std::shared_ptr<BrindleItem>;
    using Reclaim = std::function<void(const ItemPtr& item)>;
    struct Entry {
        ItemPtr item;
        uint64_t parentInode = 0;
        std::string name;
    };

    // `reclaim` lets the volume drop an item; it may run under the inode table's lock, so it takes
    // no lock of the host.
    LookupCounts(InodeTable& inodes, Reclaim reclaim);

    // Counts one reference for each entry and sends the reply that hands them to the kernel;
    // `send` gives the reply's result (0 when it reached the kernel). True when the reply went out.
    bool handOver(const std::vector<Entry>& entries, const std::function<int()>& send);
    // The kernel's forget.
    void forget(uint64_t inode, uint64_t lookups);
    // Lets the volume drop an item that a reply named without handing the kernel a reference
    // (a plain listing, a lookup for an unlink), unless the kernel references it otherwise.
    void releaseUnreferenced(const ItemPtr& item);
    // Lets the volume drop an item the inode table has let go of; null is ignored.
    void reclaim(const ItemPtr& item);

private:
    InodeTable& inodes_;
    const Reclaim reclaim_;
};

}  // namespace brindle::host
