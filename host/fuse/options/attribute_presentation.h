#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>

namespace brindle::host {

// How the mount shows ownership and permissions, whatever the server reports: the owner and
// group the user names with uid= and gid=, and permission bits with umask= taken away. Only what
// the kernel is shown changes; the server's own attributes are left as they are.
struct AttributePresentation {
    std::optional<uid_t> owner;
    std::optional<gid_t> group;
    mode_t umask = 0;

    void applyTo(struct stat& status) const;
};

}  // namespace brindle::host
