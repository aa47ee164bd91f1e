#pragma once

#include "module/volume/BrindleItem.h"
#include "platform/foundation/errno_table.h"
#include "platform/foundation/error.h"
#include "platform/fskit/file_name.h"

#include <memory>
#include <optional>
#include <string>

// Helpers shared by the volume's operation files: argument reading and the error a remote call
// reports when it hands back neither a result nor an error.
namespace brindle::volumereplies {

// The module's own record behind an FSKit item, or null when FSKit passed something else.
inline std::shared_ptr<BrindleItem> brindleItem(const std::shared_ptr<fskit::FSItem>& item) {
    return std::dynamic_pointer_cast<BrindleItem>(item);
}

inline bool isItemOfType(const std::shared_ptr<BrindleItem>& item, ItemType type) {
    if (!item) return false;
    std::lock_guard fields(item->fieldsMutex);
    return item->itemType == type;
}

inline ItemType itemTypeOf(const BrindleItem& item) {
    std::lock_guard fields(item.fieldsMutex);
    return item.itemType;
}

inline uint64_t nodeIDOf(const BrindleItem& item) {
    std::lock_guard fields(item.fieldsMutex);
    return item.nodeID;
}

// How the server names an item in its calls, read at one moment.
struct ItemAddress {
    uint64_t nodeID;
    uint64_t parentID;
    std::string name;
};

inline ItemAddress addressOf(const BrindleItem& item) {
    std::lock_guard fields(item.fieldsMutex);
    return {item.nodeID, item.parentNodeID, item.name};
}

inline std::string nameOf(const BrindleItem& item) {
    std::lock_guard fields(item.fieldsMutex);
    return item.name;
}

// Why a name cannot be sent to the server, or nothing when it can: the wire is UTF-8 JSON, so a
// name that is not UTF-8 is refused with EILSEQ; an empty name names nothing.
inline std::optional<foundation::Error> nameRefusal(const fskit::FSFileName& name) {
    const auto text = name.string();
    if (!text) return foundation::Error::posix(foundation::darwin::eilseq);
    if (text->empty()) return foundation::Error::posix(foundation::darwin::einval);
    return std::nullopt;
}

inline foundation::Error errorOrIO(const std::optional<foundation::Error>& error) {
    return error ? *error : foundation::Error::posix(foundation::darwin::eio);
}

}  // namespace brindle::volumereplies
