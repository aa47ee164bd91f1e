#pragma once

#include "host/fuse/requests/kernel_request.h"

#include <fuse_lowlevel.h>

namespace brindle::host {

// Extended attributes: set, get, list and remove.
void onSetxattr(const KernelRequest& request, fuse_ino_t inode, const char* name, const char* value, size_t size, int flags);
void onGetxattr(const KernelRequest& request, fuse_ino_t inode, const char* name, size_t size);
void onListxattr(const KernelRequest& request, fuse_ino_t inode, size_t size);
void onRemovexattr(const KernelRequest& request, fuse_ino_t inode, const char* name);

}  // namespace brindle::host
