#pragma once

#include "host/fuse/options/mount_options.h"
#include "module/BrindleSessionDescriptor.h"

#include <string>
#include <vector>

namespace brindle::host {

// What one run of brindle was asked to do, once the command line is read.
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
    // --skip-session-file-check, or -o skip_session_file_check when mounting
    SessionFileTrust sessionFileTrust = SessionFileTrust::requirePrivate;
};

}  // namespace brindle::host
