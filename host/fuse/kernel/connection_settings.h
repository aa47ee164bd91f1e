#pragma once

#include "host/fuse/options/mount_options.h"

#include <fuse_lowlevel.h>

namespace brindle::host {

// What the mount options ask of the kernel connection when it starts. libfuse refuses a
// connection whose max_read differs from the one the mount was given, so both come from here.
void applyMountOptions(const MountOptions& options, fuse_conn_info& connection);

}  // namespace brindle::host
