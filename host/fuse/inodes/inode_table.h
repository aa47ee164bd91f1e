#pragma once

#include "host/fuse/inodes/entry_name.h"
#include "host/fuse/inodes/forgotten_inodes.h"
#include "module/volume/BrindleItem.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace brindle::host {

// The items the kernel holds references to, by inode number, with the kernel's lookup count and
// the opens per mode. Inode numbers are node ids, except that the server's root is inode 1 and a
// non-root node whose id is 1 takes the root's node id as its inode number.
//
// Inode numbers are the host's and outlive a connection: after a reconnect (a new generation) the
// new server's node ids are translated, an inode the kernel still holds is bound again to the node
// found under the name it was last handed out under, so is an inode the kernel let go of (within
// the bound of ForgottenInodes), and a new node whose id names another object gets a number of its
// own.
class InodeTable {
public:
    using ItemPtr = std::shared_ptr<BrindleItem>;
    using TrackedItem = std::function<ItemPtr(uint64_t nodeID)>;
    static constexpr uint64_t rootInode = 1;

    InodeTable(ItemPtr root, uint64_t rootNodeID, size_t forgottenCapacity = ForgottenInodes::defaultCapacity);

    // The inode number for a node of the current generation; from the second generation on it is
    // chosen here the first time the node is named.
    uint64_t inodeForNodeID(uint64_t nodeID);
    uint64_t nodeIDForInode(uint64_t inode) const;
    // The inode a node of the current generation already has, choosing none.
    std::optional<uint64_t> boundInodeForNodeID(uint64_t nodeID) const;
    // Whether the kernel references, by lookup or by open, the inode of a node of the current
    // generation.
    bool referencesNode(uint64_t nodeID) const;
    // Every inode the kernel holds, and every name it was handed (parent inode, name).
    std::vector<uint64_t> heldInodes() const;
    std::vector<std::pair<uint64_t, std::string>> heldNames() const;
    uint64_t inodeOfItem(const BrindleItem& item);

    // The item behind an inode, or null when the kernel names one it was never given, or one whose
    // item belongs to an earlier generation or went stale.
    ItemPtr item(uint64_t inode) const;

    // What a reconnect needs to find an inode again.
    struct Held {
        ItemPtr item;
        uint64_t generation = 0;
        bool stale = false;
        std::optional<std::pair<uint64_t, std::string>> lastName;  // parent inode, name
    };
    std::optional<Held> held(uint64_t inode) const;
    uint64_t generation() const;
    // Starts generation `number` with the new volume's root for inode 1; `trackedItem` gives the
    // new volume's item for a node id, so that a listing finds held inodes again by name too.
    void startGeneration(uint64_t number, const ItemPtr& root, uint64_t rootNodeID, TrackedItem trackedItem);
    // Binds an inode of an earlier generation to `found`, the item now under the name it was last
    // seen under, in generation `number`; returns the inode's current item. Null (the inode is stale
    // from then on) when `found` is another object (another type; for all but directories, another
    // birth time or none) or already has another inode.
    ItemPtr rebind(uint64_t inode, const ItemPtr& found, uint64_t number);
    // The inode no longer leads to its object.
    void markStale(uint64_t inode);
    // Adds `lookups` kernel references to the item (a newer object for the same node replaces the
    // one held); returns its inode number.
    uint64_t remember(const ItemPtr& item, uint64_t lookups);
    // The same, for an entry the kernel now holds as `name` in the directory `parentInode`.
    uint64_t remember(const ItemPtr& item, uint64_t lookups, uint64_t parentInode, const std::string& name);
    // Records that a referenced inode is now known as `name` in `parentInode` (after a rename).
    void rename(uint64_t inode, uint64_t parentInode, const std::string& name);
    // The item the kernel holds as `name` in `parentInode`, while the item still carries that
    // name and parent; null when there is none. Removal and rename name only the parent and the
    // name, and the kernel calls them only for an entry it has just looked up, so this spares
    // asking the server for the same item again.
    ItemPtr itemNamed(uint64_t parentInode, const std::string& name);
    // The inode the kernel was handed as `name` in `parentInode`, whatever the server did since.
    std::optional<uint64_t> inodeNamed(uint64_t parentInode, const std::string& name) const;
    // The other names the kernel was handed for the inode than `name` in `parentInode`, forgotten
    // here: a directory that moved behind the mount has only its new name left.
    std::vector<std::pair<uint64_t, std::string>> takeOtherNames(uint64_t inode, uint64_t parentInode,
                                                                 const std::string& name);
    // Takes kernel references away; returns the item once nothing references it any more, so the
    // caller can let the volume reclaim it. The root is never let go.
    ItemPtr forget(uint64_t inode, uint64_t lookups);

    // Runs `release` under the table's lock unless the kernel references the inode, by lookup or
    // by open: no reply can count the inode while its item is let go.
    void unlessReferenced(uint64_t inode, const std::function<void()>& release);

    // Counts an open of the inode in the given FSKit modes (1 read, 2 write), made on the
    // connection generation `generation`.
    void recordOpen(uint64_t inode, uint32_t modes, uint64_t generation);
    struct Release {
        uint32_t keepingModes = 0;  // the modes other opens of that generation keep (0 on its last close)
        ItemPtr unreferenced;       // set when the kernel had already forgotten the inode
    };
    // Counts the release of an open made in `modes` on `generation`: what stays open is told to
    // that generation's server only, which knows nothing of another's opens.
    Release recordRelease(uint64_t inode, uint32_t modes, uint64_t generation);
    // An open made again on a newer connection.
    void moveOpen(uint64_t inode, uint32_t modes, uint64_t from, uint64_t to);
    // How many opens of the inode there are, on every generation.
    uint64_t openCount(uint64_t inode) const;

    // What a file or directory showed on the server when this mount last opened it.
    struct ContentStamp {
        uint64_t size = 0;
        timespec modified{};
        uint64_t verifier = 0;  // a directory's listing verifier; 0 for a file
        // The change time, where the server reports one: unlike the modification time, no writer
        // can set it back, so a change that restores size and modification time still moves it.
        std::optional<timespec> changed;
        bool operator==(const ContentStamp& other) const;
    };
    // Keeps the stamp an open sees now; true when the inode's previous open saw the same, so that
    // what the kernel cached of it since is still what the server has. With `within`, also only
    // while the stamp that began the cache is younger than that.
    bool restamp(uint64_t inode, const ContentStamp& stamp,
                 std::optional<std::chrono::steady_clock::duration> within = std::nullopt);
    // Forgets the inode's stamp: its next open finds nothing to keep.
    void clearStamp(uint64_t inode);

    size_t size() const;
    size_t forgottenCount() const;
    // How many of the current server's node ids carry an inode binding (from the second generation).
    size_t boundNodeCount() const;
    uint64_t lookupCount(uint64_t inode) const;

private:
    using Name = EntryName;
    struct Opens {
        uint64_t handles = 0;
        uint64_t readers = 0;
        uint64_t writers = 0;
    };
    struct Entry {
        ItemPtr item;
        uint64_t lookups = 0;
        std::map<uint64_t, Opens> opens;  // by connection generation
        std::vector<Name> names;  // the names that lead to it in `names_`
        uint64_t generation = 1;  // the generation `item` belongs to
        bool stale = false;
        std::optional<Name> lastName;
        std::optional<ContentStamp> stamp;
        uint64_t stampGeneration = 0;  // a stamp from an earlier connection's server proves nothing
        std::chrono::steady_clock::time_point cachedSince;  // when the stamp that began the cache was taken
    };
    static uint32_t keptModes(const Entry& entry, uint64_t generation);
    static void countOn(std::map<uint64_t, Opens>& opens, uint32_t modes, uint64_t generation);
    // Counts one open off; false when there was none to count.
    static bool countOff(std::map<uint64_t, Opens>& opens, uint32_t modes, uint64_t generation);
    void nameLocked(uint64_t inode, Entry& entry, uint64_t parentInode, const std::string& name);
    void eraseLocked(std::unordered_map<uint64_t, Entry>::iterator found);
    uint64_t swappedLocked(uint64_t nodeID) const;
    uint64_t inodeForNodeLocked(uint64_t nodeID, const ItemPtr& known);
    bool takenLocked(uint64_t inode) const;
    void bindLocked(uint64_t nodeID, uint64_t inode);
    Entry& rememberLocked(const ItemPtr& item, uint64_t lookups, uint64_t& inode);
    // The item the entry holds when it belongs to the current generation.
    ItemPtr currentItemLocked(const Entry& entry) const;

    uint64_t rootNodeID_;
    uint64_t generation_ = 1;
    // From the second generation on: the current server's node ids and the inodes they are bound to.
    std::unordered_map<uint64_t, uint64_t> inodeOfNode_;
    std::unordered_map<uint64_t, uint64_t> nodeOfInode_;
    // Numbers for new nodes whose own id names another object; far above node ids.
    static constexpr uint64_t firstOwnInode = uint64_t{1} << 62;
    uint64_t nextOwnInode_ = firstOwnInode;
    TrackedItem trackedItem_;
    // Taken under a request's PendingReply; the volume's locks are taken under it (a reclaim runs
    // inside `unlessReferenced`), never the other way round.
    mutable std::mutex mutex_;
    std::unordered_map<uint64_t, Entry> entries_;
    std::unordered_map<Name, uint64_t, EntryNameHash> names_;
    ForgottenInodes forgotten_;
};

// An item's node id, as the volume reads it.
uint64_t nodeIDOfItem(const BrindleItem& item);

}  // namespace brindle::host
