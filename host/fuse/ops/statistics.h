#pragma once

#include "host/fuse/requests/kernel_request.h"
#include "platform/fskit/statfs_result.h"

#include <fuse_lowlevel.h>
#include <sys/statvfs.h>

namespace brindle::host {

// The volume's statistics as the statvfs the kernel is given.
struct statvfs statvfsFromStatistics(const fskit::FSStatFSResult& statistics, unsigned long maximumNameLength);

void onStatfs(const KernelRequest& request, fuse_ino_t inode);

}  // namespace brindle::host
