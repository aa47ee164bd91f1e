#pragma once

#include "module/BrindleSessionDescriptor.h"

#include <chrono>
#include <iosfwd>
#include <string>

namespace brindle::host {

// Probes the session, connects and handshakes, pings, fetches the root's attributes and the
// volume statistics, printing each step's round-trip time. Gives up on a step that takes longer
// than `stepLimit`. Returns the process exit status.
int runCheck(const std::string& sessionPath, SessionFileTrust trust, std::ostream& out, std::ostream& err,
             std::chrono::milliseconds stepLimit = std::chrono::seconds(10));

}  // namespace brindle::host
