#pragma once

#include <fuse_lowlevel.h>

namespace brindle::host {

// File contents: read, write and fsync.
void onRead(fuse_req_t req, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info* info);
void onWrite(fuse_req_t req, fuse_ino_t inode, const char* data, size_t size, off_t offset, fuse_file_info* info);
void onFsync(fuse_req_t req, fuse_ino_t inode, int dataOnly, fuse_file_info* info);

}  // namespace brindle::host
