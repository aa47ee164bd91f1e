#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <utility>

namespace brindle::host {

// The (inode, owner) pairs that were granted a byte-range lock on the server, so that a close
// asks the server to release only where something may be held: most closes hold no lock, and
// need no call.
class LockOwners {
public:
    void granted(uint64_t inode, uint64_t owner);
    // Whether the pair may hold a lock; it is forgotten either way.
    bool take(uint64_t inode, uint64_t owner);

private:
    std::mutex mutex_;
    std::set<std::pair<uint64_t, uint64_t>> owners_;
};

}  // namespace brindle::host
