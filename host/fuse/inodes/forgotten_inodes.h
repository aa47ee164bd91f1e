#pragma once

#include "host/fuse/inodes/entry_name.h"
#include "host/fuse/inodes/object_identity.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <unordered_map>

namespace brindle::host {

// The numbers of inodes the kernel let go of, by the name each was last handed out under, so that
// the object found under that name after a server restart (which renumbers its nodes) shows the
// number it showed before. While they are kept no other object gets them.
//
// Bounded: past `capacity` the longest-forgotten records go. Their objects get new numbers after a
// restart, and every number up to the highest that went is kept from new objects from then on, so
// no number is ever shown for two objects. A capacity of 0 keeps nothing, for a mount that never
// reconnects. Not locked: the inode table's lock covers it.
class ForgottenInodes {
public:
    static constexpr size_t defaultCapacity = 65536;
    // Numbers from `firstOwnInode` up are handed out once only by the inode table itself.
    ForgottenInodes(size_t capacity, uint64_t firstOwnInode);

    // The kernel let go of `inode`. `name` is none when no name leads to its object any more;
    // `nodeID` is the current server's node it stood for, if it stood for one.
    void keep(uint64_t inode, std::optional<EntryName> name, const ObjectIdentity& identity,
              std::optional<uint64_t> nodeID);
    // The number that `found`, the current server's node `nodeID` now under `name`, had.
    std::optional<uint64_t> inodeNamed(const EntryName& name, const BrindleItem& found, uint64_t nodeID) const;
    // The number the current server's node had.
    std::optional<uint64_t> inodeOfNode(uint64_t nodeID) const;
    // The kernel holds the inode again: its number is in use, and its record goes.
    void handedOut(uint64_t inode);
    // A new server: node ids say nothing about the old one's objects.
    void startGeneration();
    // Whether a new object must not take `inode` as its number.
    bool reserves(uint64_t inode) const;
    size_t size() const;

private:
    struct Record {
        std::optional<EntryName> name;
        ObjectIdentity identity;
        std::optional<uint64_t> nodeID;
        std::list<uint64_t>::iterator age;
    };
    void eraseRecord(std::unordered_map<uint64_t, Record>::iterator found);

    size_t capacity_;
    uint64_t firstOwnInode_;
    std::unordered_map<uint64_t, Record> records_;  // by inode
    std::unordered_map<EntryName, uint64_t, EntryNameHash> inodeOfName_;
    std::unordered_map<uint64_t, uint64_t> inodeOfNode_;
    std::list<uint64_t> oldestFirst_;
    uint64_t highestEvicted_ = 0;  // of the numbers below firstOwnInode_
};

}  // namespace brindle::host
