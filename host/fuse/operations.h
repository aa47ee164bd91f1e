#pragma once

#include "host/fuse/directory_opens.h"
#include "host/fuse/inode_table.h"
#include "host/fuse/mount_options.h"
#include "host/fuse/reply_deadline.h"
#include "module/volume/BrindleVolume.h"

#include <fuse_lowlevel.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace brindle::host {

// What one mounted volume's FUSE operations share. Every operation holds it through the
// completions it hands the volume, so a late completion never outlives it.
struct OperationContext {
    OperationContext(std::shared_ptr<BrindleVolume> volume, uint64_t rootNodeID, MountOptions options,
                     std::chrono::steady_clock::duration replyBound);

    struct OpenHandle {
        std::shared_ptr<BrindleItem> item;
        uint64_t inode = 0;
        uint32_t modes = 0;
        bool directory = false;
        std::mutex listingMutex;
        uint64_t listingVerifier = 0;  // the verifier the last listing through this handle returned
        // The offset at which the last listing reached the directory's end, if it did.
        std::optional<uint64_t> listingEnd;
    };

    uint64_t addHandle(std::shared_ptr<OpenHandle> handle);
    std::shared_ptr<OpenHandle> handle(uint64_t id) const;
    std::shared_ptr<OpenHandle> takeHandle(uint64_t id);

    const std::shared_ptr<BrindleVolume> volume;
    InodeTable inodes;
    DirectoryOpens directories;
    const MountOptions options;
    const std::shared_ptr<ReplyDeadline> deadline;

private:
    mutable std::mutex handlesMutex_;
    std::unordered_map<uint64_t, std::shared_ptr<OpenHandle>> handles_;
    uint64_t nextHandle_ = 1;
};

// How long a kernel request waits for the volume before it is answered EIO.
inline constexpr std::chrono::seconds replyBound{30};
// The largest write and read-ahead asked of the kernel.
inline constexpr unsigned maximumTransfer = 1u << 20;

// The operation table; the session's user data is a `std::shared_ptr<OperationContext>*`.
const fuse_lowlevel_ops& lowLevelOperations();

}  // namespace brindle::host
