#pragma once

#include "conform/check.h"
#include "conform/connection.h"

#include <string>
#include <vector>

// Steps that many checks take: making a file with contents, reading it whole, listing a directory.
namespace brindle::conform {

inline constexpr uint32_t kOpenRead = 1;
inline constexpr uint32_t kOpenWrite = 2;

// Creates `name` in `parentID` holding `contents`, opened, written and closed as a mount does.
Item makeFile(Connection& connection, uint64_t parentID, const std::string& name, const std::string& contents);
// Writes all of `data` at `offset`, going on after short writes.
void writeAll(Connection& connection, uint64_t nodeID, uint64_t offset, const std::string& data);
// Reads from `offset` until a read returns no bytes, or `limit` bytes have come.
std::string readAll(Connection& connection, uint64_t nodeID, uint64_t offset = 0, uint64_t limit = 1u << 24);

// One listing of a directory from cookie 0, in batches of `batch` entries, under a handle of its own.
struct Listing {
    std::vector<Items> batches;
    Items entries() const;
};
Listing listDirectory(Connection& connection, uint64_t directoryID, uint64_t batch = 128);
// Lists on under `handle` from `cookie` to the end.
void listOn(Connection& connection, uint64_t directoryID, uint64_t handle, uint64_t cookie, uint64_t batch,
            Listing& listing);
// The names of entries, "." and ".." left out.
std::vector<std::string> namesOf(const Items& entries);

// A regular file of the server's own, in its root, for servers on which the kit makes nothing.
Item fileInRoot(Context& context);
// A regular file with contents: the kit's own where it may make one, else one in the root.
Item fileToRead(Context& context);

}  // namespace brindle::conform
