#pragma once

#include "host/fuse/requests/kernel_request.h"

#include <fuse_lowlevel.h>

namespace brindle::host {

// Opens and their ends: open, opendir, create, release and releasedir. The host counts the opens
// of each item per mode, so that each release tells the volume which modes stay open.
void onOpen(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info);
void onOpendir(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info);
void onCreate(const KernelRequest& request, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* info);
// A close(2): applies a created file's final mode when this is its last open, so that close hears
// when that fails.
void onFlush(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info);
void onRelease(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info);

}  // namespace brindle::host
