#pragma once

#include "brindle/node_table.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace brindle::passthrough {

using sdk::kRootNode;

// The export's objects on the SDK's node table: one node per (device, inode). Each node remembers
// where it was last seen (parent id and name), so that it can be found again from the export root
// without keeping a descriptor open. A node lives while its object has a name (its id stays the
// same however often it is looked up), or while a client holds it open (pinned). A node whose
// object lost its last name through the server, or whose inode number went to a new object, is
// dropped once nothing pins it; its id then answers ENOENT, as it did while the node was kept.
//
// It counts how often each node was handed out (lookups, creates, listing entries: for all clients
// together). A node whose clients forgot all of those goes too, unless it is pinned or a linked
// node kept here names it as its parent: finding that child again walks through it. Only its id
// and identity stay, so that the object found again gets its id back: the mount shows node ids as
// inode numbers, which programs (git's index, backups) expect to stay the same for one file.
class NodeTable {
public:
    // Tells a reused inode number from the object that had it before.
    struct Stamp {
        uint32_t type = 0;  // S_IFMT bits
        int64_t birthSec = 0;
        uint32_t birthNsec = 0;
        friend bool operator==(const Stamp&, const Stamp&) = default;
    };

    struct Location {
        dev_t device = 0;
        ino_t inode = 0;
        Stamp stamp;
        uint64_t parentID = 0;
        std::string name;
    };
    struct Node : Location {
        bool linked = true;  // false once its last name was removed through the server
    };
    using Pin = sdk::NodeTable<Location>::Pin;

    NodeTable(dev_t rootDevice, ino_t rootInode);

    // The id of the object seen as `name` in `parentID`, handed out to a client; its location is
    // updated. An inode whose stamp differs from the recorded one is a new object and gets a new id.
    uint64_t record(dev_t device, ino_t inode, uint64_t parentID, const std::string& name, const Stamp& stamp);
    // The same for an object the server saw without handing it out (the target of a rename).
    void recordUnannounced(dev_t device, ino_t inode, uint64_t parentID, const std::string& name, const Stamp& stamp);
    std::optional<Node> find(uint64_t id) const;
    // The id already given to the object, if any.
    std::optional<uint64_t> idOf(dev_t device, ino_t inode) const;
    // The names from the root down to the node, or none when it has no path any more.
    std::optional<std::vector<std::string>> path(uint64_t id) const;

    void moved(uint64_t id, uint64_t newParentID, const std::string& newName);
    // The object lost its last name: its inode number may be reused by a new object, which must
    // get a new id. The node goes unless it is pinned.
    void unlinked(uint64_t id);
    // The same for the object known by its identity, when `stamp` shows the node is that object.
    void retire(dev_t device, ino_t inode, const Stamp& stamp);
    // A client no longer holds the node, handed to it `count` times. Returns the nodes that went
    // (the node, and parents kept only for it); none when the count is above what was handed out,
    // so a client that miscounts cannot take a node from the others. A node that went comes back
    // under its id when its object is recorded again.
    // `dropping` runs for each node that goes, under the table's lock, so that no record of the
    // same object can bring the node back between its going and what `dropping` undoes; it must
    // take no lock that is held while this table is called.
    std::vector<uint64_t> forget(uint64_t id, uint64_t count, const std::function<void(uint64_t)>& dropping = {});
    // Keeps the node while a client holds its object open; none when there is no such node.
    std::optional<Pin> pin(uint64_t id) { return nodes_.pin(id); }
    bool issued(uint64_t id) const { return nodes_.issued(id); }
    size_t size() const { return nodes_.size(); }

private:
    struct KeyHash {
        size_t operator()(const std::pair<dev_t, ino_t>& key) const {
            return std::hash<uint64_t>{}(static_cast<uint64_t>(key.first) * 0x9E3779B97F4A7C15ull ^ key.second);
        }
    };

    uint64_t recordLocked(dev_t device, ino_t inode, uint64_t parentID, const std::string& name, const Stamp& stamp);
    void unlinkedLocked(uint64_t id);
    void movedLocked(uint64_t id, uint64_t oldParentID, uint64_t newParentID);
    // Drops the released node if nothing needs it any more, and then the released parents that
    // were kept only for it; adds what went to `dropped`.
    void dropReleasedLocked(uint64_t id, std::vector<uint64_t>& dropped, const std::function<void(uint64_t)>& dropping);

    sdk::NodeTable<Location> nodes_;
    // Held across each change that touches both the identities and the nodes.
    mutable std::mutex mutex_;
    std::unordered_map<std::pair<dev_t, ino_t>, uint64_t, KeyHash> ids_;
    // Handouts not yet forgotten, by node; a node absent was never handed out or fully forgotten.
    std::unordered_map<uint64_t, uint64_t> handouts_;
    // How many linked nodes name each node as their parent.
    std::unordered_map<uint64_t, uint64_t> children_;
    // Nodes whose handouts were all forgotten but that something still needed.
    std::unordered_set<uint64_t> released_;
    // The ids of nodes that went through forgetting, by the identity of their object.
    struct Retired {
        uint64_t id = 0;
        Stamp stamp;
    };
    std::unordered_map<std::pair<dev_t, ino_t>, Retired, KeyHash> retired_;
};

}  // namespace brindle::passthrough
