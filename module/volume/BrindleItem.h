#pragma once

#include "platform/fskit/item.h"
#include "platform/fskit/item_attributes.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <memory>
#include <string>
#include <vector>

namespace brindle {

class BrindleItem;

// The first batch of a listing that a directory's open brought, kept to answer the listing's
// first reads without asking the server, while the directory's verifier stays the one it was
// asked under.
struct DirectoryBatch {
    std::vector<std::shared_ptr<BrindleItem>> entries;
    bool whole = false;  // the listing ends with it
    uint64_t verifier = 0;
    bool begun = false;  // a read from the start took it; the next one asks the server afresh
};

// FSKit's item-type numbers.
enum class ItemType : int64_t {
    None = 0,
    File = 1,
    Directory = 2,
    SymbolicLink = 3,
    FIFO = 4,
    CharacterDevice = 5,
    BlockDevice = 6,
    Socket = 7,
};

// The module's record of one file-system object. A fresh item is a placeholder for the root
// directory. Fields are reached from FSKit's threads and from concurrent completions: whoever
// reads or writes them while the item may be shared holds `fieldsMutex`.
class BrindleItem : public fskit::FSItem {
public:
    BrindleItem();

    std::string name = "/";
    uint64_t nodeID = 1;
    uint64_t parentNodeID = 1;
    uint64_t directoryCookie = 0;
    uint64_t directoryHandleID = 0;
    uint64_t directoryResumeCookie = 0;
    uint64_t directoryVerifier = 1;
    std::shared_ptr<DirectoryBatch> directoryBatch;
    // The server closed the handle beside a batch that was the whole listing, so the directory is
    // open with no handle: a listing that needs the server again opens it afresh.
    bool directoryHandleClosedByServer = false;
    ItemType itemType = ItemType::Directory;
    uint32_t mode = 0755;
    uint32_t linkCount = 2;
    uint32_t uid;
    uint32_t gid;
    uint64_t size = 0;
    uint64_t allocSize = 0;
    bool hasPendingFinalMode = false;
    uint32_t pendingFinalMode = 0;
    timespec modifyTime;
    timespec changeTime;
    timespec accessTime;
    timespec birthTime;
    bool attributesLoaded = true;
    // What a change's reply said the item became, kept for the next attribute fetch; any newer
    // record, and any change sent since, drops it.
    std::optional<fskit::FSItemAttributes> changedRecord;
    std::chrono::steady_clock::time_point changedRecordArrived;

    mutable std::mutex fieldsMutex;
};

// One reading of the calendar clock (UTC).
timespec currentCalendarTime();

}  // namespace brindle
