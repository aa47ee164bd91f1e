#include "host/fuse/ops/statistics.h"

#include "host/fuse/requests/operation_context.h"

#include <cerrno>

namespace brindle::host {

struct statvfs statvfsFromStatistics(const fskit::FSStatFSResult& statistics, unsigned long maximumNameLength) {
    struct statvfs status {};
    // No block size means the server told nothing about bytes: every size derived from the block
    // counts stays 0 rather than one computed from a made-up block size.
    status.f_bsize = statistics.blockSize;
    status.f_frsize = statistics.blockSize;
    status.f_blocks = statistics.totalBlocks;
    status.f_bfree = statistics.freeBlocks;
    status.f_bavail = statistics.availableBlocks;
    status.f_files = statistics.totalFiles;
    status.f_ffree = statistics.freeFiles;
    status.f_favail = statistics.freeFiles;
    status.f_namemax = maximumNameLength;
    return status;
}

void onStatfs(fuse_req_t req, fuse_ino_t) {
    const auto& context = contextOf(req);
    std::optional<CurrentVolume::Clock::time_point> until;
    if (context->options.requestTimeout.count() > 0)
        until = CurrentVolume::Clock::now() + context->options.requestTimeout;
    // While the server is away, zero counts would read as an empty volume.
    const auto generation = context->volume.connected(until);
    if (!generation) {
        fuse_reply_err(req, EIO);
        return;
    }
    // Synchronous by design: the volume waits at most five seconds for the server.
    const struct statvfs status =
        statvfsFromStatistics(generation->volume->volumeStatistics(), BrindleVolume::maximumNameLength());
    fuse_reply_statfs(req, &status);
}

}  // namespace brindle::host
