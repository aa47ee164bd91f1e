#pragma once

#include "host/fuse/options/invocation.h"

#include <iosfwd>

namespace brindle::host {

// Mounts the session on the mount point and serves it until it is unmounted or the process is
// told to stop; returns the process exit status. Probe, load and activation run before the mount
// point is touched. Without -f the calling process returns once the mount is ready, its status
// telling whether it is, and a child serves the mount.
int runMount(const CommandLine& line, std::ostream& err);

}  // namespace brindle::host
