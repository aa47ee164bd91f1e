#pragma once

#include "sdk/cpp/transport/unique_fd.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace brindle::server {

// Descriptors of the files clients hold open, one per connection and node, from "open" to that
// connection's last "close" or its end. They keep an open file served after its name is removed or
// renamed, and one client's close never takes another's. Each descriptor is shared with the
// requests using it, so a close never pulls it from under a read in flight.
class OpenFiles {
public:
    struct Entry {
        std::shared_ptr<UniqueFd> fd;
        bool writable = false;
    };

    explicit OpenFiles(size_t limit) : limit_(limit) {}

    std::optional<Entry> find(uint64_t connectionID, uint64_t nodeID) const;
    enum class Put { added, replaced, full };
    Put put(uint64_t connectionID, uint64_t nodeID, Entry entry);
    // False when the connection did not hold the node open.
    bool remove(uint64_t connectionID, uint64_t nodeID);
    // Lets go of everything the connection held; returns the nodes it held.
    std::vector<uint64_t> removeConnection(uint64_t connectionID);
    size_t size() const;

private:
    const size_t limit_;
    mutable std::mutex mutex_;
    std::map<std::pair<uint64_t, uint64_t>, Entry> entries_;  // by (connection, node)
};

}  // namespace brindle::server
