#pragma once

#include "brindle/errors.h"
#include "brindle/unique_fd.h"

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

namespace brindle::passthrough {

using sdk::UniqueFd;

// The exported directory and the only way to reach anything inside it: every path is resolved
// by the kernel beneath the export's descriptor, never crossing a symbolic link or "..".
class ExportRoot {
public:
    static sdk::Result<ExportRoot> open(const std::string& directory);

    int fd() const { return fd_.get(); }
    const struct stat& rootStat() const { return rootStat_; }

    // Opens the object at `names` (relative to the root; empty for the root itself) with `flags`.
    // A symbolic link anywhere on the way fails with ELOOP; a trailing one can only be opened with
    // O_PATH | O_NOFOLLOW, which gives the link itself. Any depth is reached.
    sdk::Result<UniqueFd> openBeneath(const std::vector<std::string>& names, int flags) const;
    // Opens `name` directly inside the directory `directoryFD` the same way.
    static sdk::Result<UniqueFd> openChild(int directoryFD, const std::string& name, int flags);

private:
    ExportRoot(UniqueFd fd, const struct stat& rootStat) : fd_(std::move(fd)), rootStat_(rootStat) {}

    UniqueFd fd_;
    struct stat rootStat_ {};
};

}  // namespace brindle::passthrough
