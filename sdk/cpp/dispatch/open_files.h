#pragma once

#include "brindle/backend.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

namespace brindle::sdk {

// What each connection holds open, one entry per connection and node, from its first "open" to
// its last "close" or its end: the backend's OpenFile, the modes it was opened with and how many
// opens it stands for. Each "close" lets go of one open only: a client's last close of one open
// can pass its next open of the node on the wire, and must not take that open's file with it.
// One client's close never takes another's, and a request that holds an entry's OpenFile keeps it
// through a close meanwhile. What goes is let go outside the table's lock, since letting go of an
// OpenFile runs the backend's code.
class OpenFiles {
public:
    struct Entry {
        std::shared_ptr<OpenFile> file;
        uint32_t modes = 0;
        uint64_t opens = 0;
    };

    // At most `limit` entries, and a connection's share of them.
    explicit OpenFiles(size_t limit);

    std::optional<Entry> find(uint64_t connectionID, NodeId node) const;
    // Counts one more open of an entry whose modes cover `modes`; false when there is none.
    bool reopen(uint64_t connectionID, NodeId node, uint32_t modes);
    enum class Put { added, replaced, full };
    // Counts one more open, now held through `file` in `modes`.
    Put put(uint64_t connectionID, NodeId node, std::shared_ptr<OpenFile> file, uint32_t modes);
    // Lets go of one open; false when the connection did not hold the node open.
    bool remove(uint64_t connectionID, NodeId node);
    // Lets go of everything the connection held.
    void removeConnection(uint64_t connectionID);
    size_t size() const;

private:
    const size_t limit_;
    const size_t share_;
    mutable std::mutex mutex_;
    std::map<std::pair<uint64_t, NodeId>, Entry> entries_;  // by (connection, node)
    std::unordered_map<uint64_t, size_t> heldBy_;  // entries by connection, only those with any
};

}  // namespace brindle::sdk
