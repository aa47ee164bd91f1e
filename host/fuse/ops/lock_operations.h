#pragma once

#include "host/fuse/requests/kernel_request.h"

#include <fuse_lowlevel.h>

namespace brindle::host {

// Locks kept by a server that offers them to every client: fcntl byte-range locks and flock. The
// kernel asks only where the mount took them over at its start (locksAcrossClients); elsewhere
// it keeps locks itself. A waiting lock asks the server again with a growing pause, holding no
// thread meanwhile, until it is granted, the caller is interrupted (EINTR) or the request's bound
// runs out (ENOLCK). A lock granted drops the file's cached pages and attributes before it is
// answered, and an unlock first has the kernel write back what it caches of the file's writes.
void onGetlk(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info, struct flock* lock);
void onSetlk(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info, struct flock* lock, int sleep);
void onFlock(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info, int operation);

// What a close releases on the server before the close itself: every close of a process's
// descriptor its byte-range locks on the file, the last close of an open its flock.
void releaseLocksAtFlush(const KernelRequest& request, fuse_ino_t inode, const fuse_file_info& info);
void releaseLocksAtRelease(const KernelRequest& request, fuse_ino_t inode, const fuse_file_info& info);

}  // namespace brindle::host
