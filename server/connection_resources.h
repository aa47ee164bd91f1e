#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace brindle::server {

// The directory handles each connection opened and has not closed, so that a connection that
// ends without closing them does not keep them, and their places in the handle table, forever.
class HandleOwners {
public:
    void opened(uint64_t connectionID, uint64_t handle);
    void closed(uint64_t connectionID, uint64_t handle);
    // The connection's handles, forgotten here.
    std::vector<uint64_t> takeAll(uint64_t connectionID);

private:
    std::mutex mutex_;
    std::unordered_map<uint64_t, std::unordered_set<uint64_t>> handles_;
};

}  // namespace brindle::server
