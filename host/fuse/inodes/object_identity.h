#pragma once

#include "module/volume/BrindleItem.h"

#include <ctime>
#include <optional>

namespace brindle::host {

// What tells, across a server's restart, that the object now under a name is the one an inode
// stood for: node ids need not survive a restart, so only the type and the server's birth time do.
struct ObjectIdentity {
    ItemType type = ItemType::None;
    std::optional<timespec> birth;

    static ObjectIdentity of(const BrindleItem& item);
    // Anything but a directory must have been born when this one was, and is not taken for it
    // without birth times: an open of it would read another file's bytes. A directory is found
    // again by name and type alone, so that a shell in it and the paths under it go on when the
    // tree was restored or the server serves a copy.
    bool matches(const BrindleItem& found) const;
};

}  // namespace brindle::host
