#pragma once

#include "host/fuse/mount/readiness_report.h"
#include "host/fuse/options/invocation.h"

#include <signal.h>

#include <iosfwd>

namespace brindle::host {

// Probes, loads and activates the session, mounts it and serves it until it is unmounted, then
// takes it down; returns the process exit status. `blockedSince` is the signal mask to return to
// once the setup's own signal handlers are in place (null: leave the mask alone).
int runMountedSession(const CommandLine& line, std::ostream& err, ReadinessReport& report,
                      const sigset_t* blockedSince);

}  // namespace brindle::host
