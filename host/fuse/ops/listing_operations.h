#pragma once

#include <fuse_lowlevel.h>

namespace brindle::host {

// Directory listings: readdir and readdirplus, through the handle opendir gave.
void onReaddir(fuse_req_t req, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info* info);
void onReaddirplus(fuse_req_t req, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info* info);

}  // namespace brindle::host
