#pragma once

#include "host/fuse/options/invocation.h"

#include <optional>
#include <string>
#include <vector>

namespace brindle::host {

struct ParseOutcome {
    std::optional<CommandLine> commandLine;
    std::string error;  // set when commandLine is empty
};

// Accepts the argument order of `mount -t fuse.brindle SESSION MOUNTPOINT -o OPTIONS`; a bad -o
// option is a usage error like any other.
ParseOutcome parseCommandLine(const std::vector<std::string>& arguments);

std::string usageText();
std::string versionText();

}  // namespace brindle::host
