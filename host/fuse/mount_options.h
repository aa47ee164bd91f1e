#pragma once

#include <optional>
#include <string>
#include <vector>

namespace brindle::host {

// What `-o` asks of a mount, after checking every option.
struct MountOptions {
    bool allowOther = false;
    bool defaultPermissions = true;
    bool readOnly = false;
    bool writebackCache = false;
    std::string fsname;   // empty: the session file's path
    std::string subtype;  // empty: "brindle"
    double attrTimeout = 1.0;
    double entryTimeout = 1.0;
};

struct MountOptionsOutcome {
    std::optional<MountOptions> options;
    std::string error;  // set when options is empty
};

// Options that `mount` and fstab pass along without meaning for a FUSE file system
// (rw, dev, suid, exec, auto, user, _netdev, ...) are accepted and ignored.
MountOptionsOutcome parseMountOptions(const std::vector<std::string>& options);

// The option string handed to the kernel through libfuse's `fuse_session_new`.
std::vector<std::string> fuseArguments(const MountOptions& options, const std::string& sessionPath);

}  // namespace brindle::host
