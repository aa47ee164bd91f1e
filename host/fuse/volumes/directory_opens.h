#pragma once

#include "platform/foundation/error.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace brindle::host {

// Shares one volume-side open of a directory between all the kernel's opens of it. The volume
// keeps a single server handle per directory: a second open would replace (and leak) the first
// one's handle, and the first close would end the listing of every other open. So the volume's
// open runs for the first user and its close after the last, one at a time per directory.
class DirectoryOpens {
public:
    using Done = std::function<void(std::optional<foundation::Error> error)>;
    // Starts the volume's open or close; calls the completion once with its outcome.
    using Start = std::function<void(Done completion)>;

    void acquire(uint64_t inode, Start open, Done done);
    void release(uint64_t inode, Start close, Done done);

    size_t usersOf(uint64_t inode) const;

private:
    struct State {
        uint64_t users = 0;
        bool open = false;
        bool busy = false;  // a volume open or close is under way
        std::deque<std::function<void()>> waiting;
    };
    // Runs the next waiting step of the inode's directory, if any; called without the lock.
    void runNext(uint64_t inode);

    mutable std::mutex mutex_;  // takes no other lock while held: the volume is called outside it
    std::unordered_map<uint64_t, State> states_;
};

}  // namespace brindle::host
