#pragma once

#include "host/fuse/volumes/directory_opens.h"
#include "module/volume/BrindleItem.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace brindle::host {

// One open of a file or directory, as the kernel holds it by its file handle.
struct OpenHandle {
    std::shared_ptr<BrindleItem> item;
    uint64_t inode = 0;
    uint32_t modes = 0;  // FSKit open modes (1 read, 2 write)
    bool directory = false;
    // Opened with O_APPEND past the page cache: its appends go to the server's end of file.
    bool appendsAtServer = false;
    // Guards the two listing fields; taken before any lock of the inode table or the volume.
    std::mutex listingMutex;
    uint64_t listingVerifier = 0;  // the verifier the last listing through this handle returned
    // The offset at which the last listing reached the directory's end, if it did.
    std::optional<uint64_t> listingEnd;
    // The volume-side directory opens of the connection the directory was opened on.
    std::shared_ptr<DirectoryOpens> directories;
    // Guards `item` and the two fields below: a read-only open is made again on a newer connection.
    std::mutex generationMutex;
    uint64_t generation = 1;  // the connection generation the open belongs to
    bool lossReported = false;
};

// The kernel's file handles: a number the kernel passes back with each request on an open.
class OpenHandles {
public:
    uint64_t add(std::shared_ptr<OpenHandle> handle);
    std::shared_ptr<OpenHandle> find(uint64_t id) const;
    std::shared_ptr<OpenHandle> take(uint64_t id);

private:
    mutable std::mutex mutex_;  // takes no other lock while held
    std::unordered_map<uint64_t, std::shared_ptr<OpenHandle>> handles_;
    uint64_t next_ = 1;
};

}  // namespace brindle::host
