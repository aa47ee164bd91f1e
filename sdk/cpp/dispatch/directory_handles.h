#pragma once

#include "brindle/backend.h"

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brindle::sdk {

// The names of one listing, packed into one buffer: a few bytes per entry beyond the name itself.
class PackedNames {
public:
    void add(std::string_view name);
    size_t size() const { return starts_.size(); }
    std::string_view operator[](size_t index) const;
    // Puts the names in byte order, so that a listing taken again can go on after a given name.
    void sort();
    // The position of the first name after `name` in a sorted list.
    size_t firstAfter(std::string_view name) const;
    // A copy of the names from `begin` up to `end`.
    PackedNames slice(size_t begin, size_t end) const;
    // The memory the names take.
    size_t bytes() const { return buffer_.capacity() + starts_.capacity() * sizeof(uint32_t); }
    void shrink();

private:
    std::string buffer_;  // each name followed by NUL, which no name holds
    std::vector<uint32_t> starts_;
};

// Handles of open directories, each owned by the connection that opened it, and the names each
// recent listing through a handle started from. A listing's cookies are positions in its own list
// of names, so they grow from entry to entry whatever order the backend lists them in. Each handle
// holds what the backend's openDirectory gave for it, let go outside the table's lock when the
// handle closes. The kept names of all handles share one budget: the oldest listing goes first,
// down to the names of its latest page, so that it can still go on after the name a cookie
// follows; those few names go only when no whole listing is left to let go.
class DirectoryHandles {
public:
    using Names = std::shared_ptr<const PackedNames>;

    // At most `handleLimit` handles, and a connection's share of them.
    DirectoryHandles(size_t handleLimit, size_t listingBudget);

    // A new handle holding `directory`, or none when the table is full.
    std::optional<uint64_t> open(uint64_t connectionID, uint64_t nodeID, std::shared_ptr<OpenDirectory> directory);
    // The handle's directory, when the handle is open and the connection's own.
    std::optional<uint64_t> nodeOf(uint64_t connectionID, uint64_t handle) const;
    bool close(uint64_t connectionID, uint64_t handle, uint64_t nodeID);
    // Closes every handle of the connection with its listings.
    void closeConnection(uint64_t connectionID);
    // What a handle the connection holds on the node holds, or null. Looks through every handle.
    std::shared_ptr<OpenDirectory> directory(uint64_t connectionID, uint64_t nodeID) const;
    size_t size() const;

    // Keeps the names of a listing that starts now through `handle`; returns its generation
    // (never 0; it grows from listing to listing), or none when the handle is not open.
    std::optional<uint32_t> beginListing(uint64_t handle, Names names);
    // The names of a recent listing, or null when it is unknown or has been let go.
    Names listing(uint64_t handle, uint32_t generation) const;
    // Notes that a page of the listing went out with the names from `begin` up to `end`.
    void served(uint64_t handle, uint32_t generation, size_t begin, size_t end);
    // The name that the listing's cookie at `position` follows, while the listing or its latest
    // page is kept.
    std::optional<std::string> nameBefore(uint64_t handle, uint32_t generation, size_t position) const;

    size_t keptBytes() const;

    // Listings kept per handle, so that a few listings of one directory can run side by side.
    static constexpr size_t kListingsPerHandle = 4;

private:
    struct Kept {
        uint64_t handle;
        uint32_t generation;
        Names names;
        // Once the listing is let go, `names` holds only its latest page, from `first` on.
        bool whole = true;
        size_t first = 0;
        size_t servedBegin = 0;
        size_t servedEnd = 0;
    };
    using KeptList = std::list<Kept>;
    struct Handle {
        uint64_t connectionID;
        uint64_t nodeID;
        // Shared so that a close never pulls it from under a request using it.
        std::shared_ptr<OpenDirectory> directory;
        uint32_t nextGeneration = 1;
        std::vector<KeptList::iterator> listings;  // oldest first
    };

    void releaseLocked(KeptList::iterator listing);
    void forgetLocked(KeptList::iterator listing);
    void keepWithinBudgetLocked();
    KeptList::const_iterator findLocked(uint64_t handle, uint32_t generation) const;

    const size_t handleLimit_;
    const size_t handleShare_;
    const size_t listingBudget_;
    mutable std::mutex mutex_;
    uint64_t next_ = 1;
    std::unordered_map<uint64_t, Handle> handles_;
    std::unordered_map<uint64_t, size_t> heldBy_;  // handles by connection, only those with any
    KeptList kept_;  // every handle's listings, oldest first
    size_t keptBytes_ = 0;
};

}  // namespace brindle::sdk
