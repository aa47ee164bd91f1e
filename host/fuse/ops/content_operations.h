#pragma once

#include "host/fuse/requests/kernel_request.h"

#include <fuse_lowlevel.h>

namespace brindle::host {

// File contents: read, write and fsync.
void onRead(const KernelRequest& request, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info* info);
void onWrite(const KernelRequest& request, fuse_ino_t inode, const char* data, size_t size, off_t offset, fuse_file_info* info);
void onFsync(const KernelRequest& request, fuse_ino_t inode, int dataOnly, fuse_file_info* info);

}  // namespace brindle::host
