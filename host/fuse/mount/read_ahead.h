#pragma once

#include <istream>
#include <optional>
#include <string>

namespace brindle::host {

// The kernel gives a FUSE mount at most its default read-ahead (128 KiB) whatever the file system
// asks for at INIT; only the mount's backing-device setting can raise it. Sequential reads then
// wait for the server in many small round trips instead of a few large ones.

// The "major:minor" device of the newest mount on `mountPoint` (an absolute path) in a
// /proc/self/mountinfo listing, if there is one.
std::optional<std::string> deviceOfMountPoint(std::istream& mountinfo, const std::string& mountPoint);

// Raises the read-ahead of the mount on `mountPoint` to `kilobytes` when it is lower. Best effort:
// without the rights to change it the mount keeps the kernel's default, and a debug line says why.
void raiseReadAhead(const std::string& mountPoint, unsigned kilobytes);

}  // namespace brindle::host
