#pragma once

#include "host/fuse/handles/open_handles.h"
#include "host/fuse/requests/kernel_request.h"

namespace brindle::host {

// Whether a request on an open may go on after the connection it was made on was replaced. An open
// that only reads is made again on the current connection, on `item` (the inode's current item). One
// that writes fails with EIO from then on: data it had written may never have reached storage, and
// the application must hear of it. A directory's fails too: its listing position was the old
// server's, and starting over would hand the reader entries it already has. Answers the request
// and gives false when the open cannot go on.
bool openUsableOrFail(const KernelRequest& request, OpenHandle& handle, const std::shared_ptr<BrindleItem>& item);

// The same for a request that may name an open (read, write, fsync, ftruncate); one that names
// none goes on.
bool openGoesOn(const KernelRequest& request, const fuse_file_info* info, const std::shared_ptr<BrindleItem>& item);

}  // namespace brindle::host
