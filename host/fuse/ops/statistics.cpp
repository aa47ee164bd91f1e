#include "host/fuse/ops/statistics.h"

#include "host/fuse/requests/kernel_request.h"

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

void onStatfs(const KernelRequest& request, fuse_ino_t) {
    // Zero counts, while the server is away or when it fails, would read as an empty volume.
    const VolumeGeneration* generation = request.generationOrFail();
    if (!generation) return;
    // Synchronous by design: the volume waits at most five seconds for the server.
    const auto statistics = generation->volume->fetchedVolumeStatistics();
    if (!statistics) return request.fail(EIO);
    const struct statvfs status = statvfsFromStatistics(*statistics, BrindleVolume::maximumNameLength());
    request.deliver([&](KernelReply& reply) { reply.statistics(status); });
}

}  // namespace brindle::host
