#pragma once

#include "host/fuse/options/mount_options.h"

#include <optional>
#include <string>
#include <vector>

namespace brindle::host {

enum class Command { Help, Version, Probe, Check, Mount };

struct CommandLine {
    Command command = Command::Help;
    std::string sessionPath;  // absolute
    std::string mountPoint;   // absolute
    std::vector<std::string> mountOptions;  // the comma-separated -o values, split
    MountOptions mount;                     // what they ask for
    bool foreground = false;                // -f: stay in the foreground, log to stderr
    bool debug = false;                     // -d: debug log lines
    bool singleThreaded = false;            // -s
};

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
