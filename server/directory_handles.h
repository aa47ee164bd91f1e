#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace brindle::server {

// Handles of open directories, and the names each recent listing through a handle started
// from. A listing's cookies are positions in its own list of names, so they grow from entry
// to entry whatever order or offsets the exported file system uses; no descriptor is held
// between calls.
class DirectoryHandles {
public:
    using Names = std::shared_ptr<const std::vector<std::string>>;

    explicit DirectoryHandles(size_t limit) : limit_(limit) {}

    // A new handle, or none when the table is full.
    std::optional<uint64_t> open(uint64_t nodeID);
    std::optional<uint64_t> nodeOf(uint64_t handle) const;
    bool close(uint64_t handle, uint64_t nodeID);

    // Keeps the names of a listing that starts now through `handle`; returns its generation
    // (never 0), or none when the handle is not open.
    std::optional<uint32_t> beginListing(uint64_t handle, Names names);
    // The names of a recent listing, or null when it is unknown or has been let go.
    Names listing(uint64_t handle, uint32_t generation) const;

    // Listings kept per handle, so that a few listings of one directory can run side by side.
    static constexpr size_t kListingsPerHandle = 4;

private:
    struct OpenDirectory {
        uint64_t nodeID;
        uint32_t nextGeneration = 1;
        std::deque<std::pair<uint32_t, Names>> listings;
    };

    const size_t limit_;
    mutable std::mutex mutex_;
    uint64_t next_ = 1;
    std::unordered_map<uint64_t, OpenDirectory> handles_;
};

}  // namespace brindle::server
