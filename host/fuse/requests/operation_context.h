#pragma once

#include "host/fuse/handles/lock_owners.h"
#include "host/fuse/handles/open_handles.h"
#include "host/fuse/inodes/inode_table.h"
#include "host/fuse/inodes/lookup_counts.h"
#include "host/fuse/options/mount_options.h"
#include "host/fuse/requests/kernel_notices.h"
#include "host/fuse/requests/lock_waits.h"
#include "host/fuse/requests/reply_deadline.h"
#include "host/fuse/volumes/current_volume.h"
#include "module/volume/BrindleVolume.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

namespace brindle::host {

// What one mounted volume's FUSE operations share. Every operation holds it through the
// completions it hands the volume, so a late completion never outlives it.
//
// Lock order, outermost first: a request's PendingReply (an answer runs under it), a handle's
// listing lock, a handle's generation lock (held while an open is made again after a reconnect),
// the inode table, the volume's tracked items, an item's fields. The handle table, the directory
// opens and the current volume take no other lock while they hold their own.
struct OperationContext {
    OperationContext(std::shared_ptr<BrindleVolume> volume, uint64_t rootNodeID, MountOptions options,
                     std::chrono::steady_clock::duration replyBound);

    // `volume->` reaches the newest volume; a request keeps the generation it started on.
    CurrentVolume volume;
    InodeTable inodes;
    LookupCounts lookups;
    OpenHandles handles;
    LockOwners lockOwners;
    LockWaits lockWaits;
    const MountOptions options;
    // The options with the longer cache timeouts of a server that tells of every change, its
    // export's own too; in force while `exportWatched` holds.
    const MountOptions watchedExportOptions;
    // Whether the current connection's server advertised both change_notices and export_watched.
    // Set at the mount and again at each reconnect.
    std::atomic<bool> exportWatched{false};
    const std::shared_ptr<ReplyDeadline> deadline;
    // Set once the kernel session exists, before the first request; none without a kernel.
    std::shared_ptr<KernelNotices> notices;
    // Set as the kernel starts the session, before the first request: whether the kernel sends
    // this mount its locks (the server keeps them for every client) rather than keeping them
    // itself.
    std::atomic<bool> kernelSendsLocks{false};

    // The options whose cache timeouts the kernel's next replies carry.
    const MountOptions& cacheOptions() const {
        return exportWatched.load(std::memory_order_relaxed) ? watchedExportOptions : options;
    }
    // Takes, from `client`'s accepted handshake, whether the current server watches its export.
    // Where a server after a reconnect no longer does, the kernel is told to drop what it cached
    // under the longer timeouts.
    void updateCacheTimeouts(BrindleRPCClient& client);
    // Every name and inode the kernel caches is dropped, and the attributes the volume keeps.
    void forgetEverythingCached();
};

// Lets `client`, the current connection's, ask before it forgets a node whether the kernel holds
// it again; it asks nothing once the context is gone.
void checkHeldNodes(const std::shared_ptr<OperationContext>& context, BrindleRPCClient& client);

}  // namespace brindle::host
