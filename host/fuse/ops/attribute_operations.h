#pragma once

#include "host/fuse/requests/kernel_request.h"

#include <fuse_lowlevel.h>

namespace brindle::host {

// Attributes: getattr and setattr.
void onGetattr(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info);
void onSetattr(const KernelRequest& request, fuse_ino_t inode, struct stat* values, int toSet, fuse_file_info* info);

}  // namespace brindle::host
