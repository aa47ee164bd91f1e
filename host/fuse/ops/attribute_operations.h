#pragma once

#include <fuse_lowlevel.h>

namespace brindle::host {

// Attributes: getattr and setattr.
void onGetattr(fuse_req_t req, fuse_ino_t inode, fuse_file_info* info);
void onSetattr(fuse_req_t req, fuse_ino_t inode, struct stat* values, int toSet, fuse_file_info* info);

}  // namespace brindle::host
