#include "host/fuse/handles/lock_owners.h"

namespace brindle::host {

void LockOwners::granted(uint64_t inode, uint64_t owner) {
    std::lock_guard guard(mutex_);
    owners_.emplace(inode, owner);
}

bool LockOwners::take(uint64_t inode, uint64_t owner) {
    std::lock_guard guard(mutex_);
    return owners_.erase({inode, owner}) > 0;
}

}  // namespace brindle::host
