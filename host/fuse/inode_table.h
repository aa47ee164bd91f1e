#pragma once

#include "module/volume/BrindleItem.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
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
class InodeTable {
public:
    using ItemPtr = std::shared_ptr<BrindleItem>;
    static constexpr uint64_t rootInode = 1;

    InodeTable(ItemPtr root, uint64_t rootNodeID);

    uint64_t inodeForNodeID(uint64_t nodeID) const;
    uint64_t nodeIDForInode(uint64_t inode) const;
    uint64_t inodeOfItem(const BrindleItem& item) const;

    // The item behind an inode, or null when the kernel names one it was never given.
    ItemPtr item(uint64_t inode) const;
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
    ItemPtr itemNamed(uint64_t parentInode, const std::string& name) const;
    // Takes kernel references away; returns the item once nothing references it any more, so the
    // caller can let the volume reclaim it. The root is never let go.
    ItemPtr forget(uint64_t inode, uint64_t lookups);

    // Runs `release` under the table's lock unless the kernel references the inode, by lookup or
    // by open: no reply can count the inode while its item is let go.
    void unlessReferenced(uint64_t inode, const std::function<void()>& release);

    // Counts an open of the inode in the given FSKit modes (1 read, 2 write).
    void recordOpen(uint64_t inode, uint32_t modes);
    struct Release {
        uint32_t keepingModes = 0;  // the modes other opens keep (0 on the last close)
        ItemPtr unreferenced;       // set when the kernel had already forgotten the inode
    };
    // Counts the release of an open made in `modes`.
    Release recordRelease(uint64_t inode, uint32_t modes);

    // What a file or directory showed on the server when this mount last opened it.
    struct ContentStamp {
        uint64_t size = 0;
        timespec modified{};
        uint64_t verifier = 0;  // a directory's listing verifier; 0 for a file
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
    uint64_t lookupCount(uint64_t inode) const;

private:
    using Name = std::pair<uint64_t, std::string>;  // parent inode, name
    struct NameHash {
        size_t operator()(const Name& name) const;
    };
    struct Entry {
        ItemPtr item;
        uint64_t lookups = 0;
        uint64_t readers = 0;
        uint64_t writers = 0;
        std::vector<Name> names;  // the names that lead to it in `names_`
        std::optional<ContentStamp> stamp;
        std::chrono::steady_clock::time_point cachedSince;  // when the stamp that began the cache was taken
    };
    static uint32_t keptModes(const Entry& entry);
    void nameLocked(uint64_t inode, Entry& entry, uint64_t parentInode, const std::string& name);
    void eraseLocked(std::unordered_map<uint64_t, Entry>::iterator found);

    const uint64_t rootNodeID_;
    // Taken under a request's PendingReply; the volume's locks are taken under it (a reclaim runs
    // inside `unlessReferenced`), never the other way round.
    mutable std::mutex mutex_;
    std::unordered_map<uint64_t, Entry> entries_;
    std::unordered_map<Name, uint64_t, NameHash> names_;
};

// An item's node id, as the volume reads it.
uint64_t nodeIDOfItem(const BrindleItem& item);

}  // namespace brindle::host
