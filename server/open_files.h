#pragma once

#include "server/unique_fd.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace brindle::server {

// Descriptors of the files a client holds open, one per node, from "open" to the last "close".
// They keep an open file served after its name is removed or renamed. Each is shared with the
// requests using it, so a close never pulls a descriptor from under a read in flight.
class OpenFiles {
public:
    struct Entry {
        std::shared_ptr<UniqueFd> fd;
        bool writable = false;
    };

    explicit OpenFiles(size_t limit) : limit_(limit) {}

    std::optional<Entry> find(uint64_t nodeID) const;
    // False when the table is full.
    bool put(uint64_t nodeID, Entry entry);
    void remove(uint64_t nodeID);
    size_t size() const;

private:
    const size_t limit_;
    mutable std::mutex mutex_;
    std::unordered_map<uint64_t, Entry> entries_;
};

}  // namespace brindle::server
