#pragma once

#include <chrono>
#include <cstdint>
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
};

}  // namespace brindle::host
