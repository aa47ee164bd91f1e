#pragma once

#include <fuse_lowlevel.h>

namespace brindle::host {

// Names: lookups and forgets, creating, linking, removing and renaming entries.
void onLookup(fuse_req_t req, fuse_ino_t parent, const char* name);
void onForget(fuse_req_t req, fuse_ino_t inode, uint64_t lookups);
void onForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets);
void onReadlink(fuse_req_t req, fuse_ino_t inode);
void onMknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t device);
void onMkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode);
void onSymlink(fuse_req_t req, const char* target, fuse_ino_t parent, const char* name);
void onUnlink(fuse_req_t req, fuse_ino_t parent, const char* name);
void onRmdir(fuse_req_t req, fuse_ino_t parent, const char* name);
void onRename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent, const char* newName,
              unsigned int flags);
void onLink(fuse_req_t req, fuse_ino_t inode, fuse_ino_t newParent, const char* newName);

}  // namespace brindle::host
