#pragma once

#include <fuse_lowlevel.h>

namespace brindle::host {

// Extended attributes: set, get, list and remove.
void onSetxattr(fuse_req_t req, fuse_ino_t inode, const char* name, const char* value, size_t size, int flags);
void onGetxattr(fuse_req_t req, fuse_ino_t inode, const char* name, size_t size);
void onListxattr(fuse_req_t req, fuse_ino_t inode, size_t size);
void onRemovexattr(fuse_req_t req, fuse_ino_t inode, const char* name);

}  // namespace brindle::host
