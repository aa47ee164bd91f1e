#pragma once

#include "brindle/records.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace brindle::sdk {

// The changes one connection has not been told of yet: each node and each (directory, name) at
// most once however often it changes, and never more than `limit` of them. Past the limit the
// details are dropped for one "everything may have changed", which costs the client one full
// invalidation instead of costing the server memory in step with a flood of changes.
// Not synchronised: its connection's lock guards it.
class PendingChanges {
public:
    struct Entry {
        NodeId parent;
        std::string name;
        bool operator==(const Entry&) const = default;
    };
    struct Batch {
        // In the order they first changed.
        std::vector<NodeId> nodes;
        std::vector<Entry> entries;
        // Set alone, with no details, when the limit was passed.
        bool everything = false;
    };

    explicit PendingChanges(size_t limit) : limit_(limit) {}

    // The node's attributes or contents (for a directory: its listing).
    void nodeChanged(NodeId node);
    // What `name` in `parent` refers to: created, removed or renamed.
    void entryChanged(NodeId parent, std::string_view name);

    // Something changed that no detail names: the client drops everything it cached.
    void everythingChanged() { overflow(); }

    bool empty() const { return !everything_ && nodes_.empty() && entries_.empty(); }
    // Everything pending, leaving nothing.
    Batch take();

private:
    struct EntryHash {
        size_t operator()(const Entry& entry) const;
    };
    bool full() const { return nodeOrder_.size() + entryOrder_.size() >= limit_; }
    void overflow();

    const size_t limit_;
    bool everything_ = false;
    std::unordered_set<NodeId> nodes_;
    std::vector<NodeId> nodeOrder_;
    std::unordered_set<Entry, EntryHash> entries_;
    std::vector<Entry> entryOrder_;
};

}  // namespace brindle::sdk
