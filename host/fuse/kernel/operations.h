#pragma once

#include "host/fuse/requests/operation_context.h"

#include <fuse_lowlevel.h>

#include <chrono>

namespace brindle::host {

// How long a kernel request waits for the volume before it is answered EIO.
inline constexpr std::chrono::seconds replyBound{30};
// The largest write and read-ahead asked of the kernel.
inline constexpr unsigned maximumTransfer = 1u << 20;

// The operation table; the session's user data is a `std::shared_ptr<OperationContext>*`.
const fuse_lowlevel_ops& lowLevelOperations();

}  // namespace brindle::host
