#pragma once

#include "host/fuse/requests/kernel_request.h"

#include <fuse_lowlevel.h>

namespace brindle::host {

// Names: lookups and forgets, creating, linking, removing and renaming entries.
void onLookup(const KernelRequest& request, fuse_ino_t parent, const char* name);
void onForget(const KernelRequest& request, fuse_ino_t inode, uint64_t lookups);
void onForgetMulti(const KernelRequest& request, size_t count, fuse_forget_data* forgets);
void onReadlink(const KernelRequest& request, fuse_ino_t inode);
void onMknod(const KernelRequest& request, fuse_ino_t parent, const char* name, mode_t mode, dev_t device);
void onMkdir(const KernelRequest& request, fuse_ino_t parent, const char* name, mode_t mode);
void onSymlink(const KernelRequest& request, const char* target, fuse_ino_t parent, const char* name);
void onUnlink(const KernelRequest& request, fuse_ino_t parent, const char* name);
void onRmdir(const KernelRequest& request, fuse_ino_t parent, const char* name);
void onRename(const KernelRequest& request, fuse_ino_t parent, const char* name, fuse_ino_t newParent, const char* newName,
              unsigned int flags);
void onLink(const KernelRequest& request, fuse_ino_t inode, fuse_ino_t newParent, const char* newName);

}  // namespace brindle::host
