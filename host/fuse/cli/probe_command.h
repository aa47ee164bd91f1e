#pragma once

#include "module/BrindleSessionDescriptor.h"

#include <iosfwd>
#include <string>

namespace brindle::host {

// Probes the session file as the file-system service would; returns the process exit status.
int runProbe(const std::string& sessionPath, SessionFileTrust trust, std::ostream& out, std::ostream& err);

}  // namespace brindle::host
