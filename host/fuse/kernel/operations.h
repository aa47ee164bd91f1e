#pragma once

#include "host/fuse/requests/operation_context.h"

#include <fuse_lowlevel.h>

namespace brindle::host {

// The largest write and read-ahead asked of the kernel.
inline constexpr unsigned maximumTransfer = 1u << 20;

// The operation table: each request becomes a KernelRequest answered through a FuseReply and goes
// to its handler. The session's user data is a `std::shared_ptr<OperationContext>*`.
const fuse_lowlevel_ops& lowLevelOperations();

}  // namespace brindle::host
