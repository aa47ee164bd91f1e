#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace brindle::host {

// What the host tells the kernel without being asked.
class KernelNotices {
public:
    virtual ~KernelNotices() = default;

    // Makes the kernel drop its entry `name` in the directory `parentInode`, waiting at most
    // `bound`: the kernel takes the directory's lock for it, which a request waiting for this
    // very answer may hold.
    virtual void forgetEntry(uint64_t parentInode, const std::string& name, std::chrono::milliseconds bound) = 0;

    // Makes the kernel ask for the attributes of `inode` again before it trusts the size it holds.
    // Takes no lock in the kernel, so a request's own path may send it.
    virtual void forgetAttributes(uint64_t inode) = 0;

    // Make the kernel drop the entry, or the inode's attributes, pages and listing, without waiting
    // for it: for changes the server tells of, which no request of this mount waits for.
    virtual void forgetEntryLater(uint64_t parentInode, const std::string& name) = 0;
    virtual void forgetInodeLater(uint64_t inode) = 0;

    // Makes the kernel drop the inode's attributes and pages, writing back the dirty ones first,
    // then runs `then` (not once stopped). The kernel may need this mount's answers meanwhile,
    // for those writes and for reads under way, so no request's thread or reader waits for it.
    virtual void forgetInodeThen(uint64_t inode, std::function<void()> then) = 0;
};

}  // namespace brindle::host
