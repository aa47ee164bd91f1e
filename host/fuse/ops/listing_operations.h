#pragma once

#include "host/fuse/requests/kernel_request.h"

#include <fuse_lowlevel.h>

namespace brindle::host {

// Directory listings: readdir and readdirplus, through the handle opendir gave.
void onReaddir(const KernelRequest& request, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info* info);
void onReaddirplus(const KernelRequest& request, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info* info);

}  // namespace brindle::host
