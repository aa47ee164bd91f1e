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

// A name's string form, or nothing when it is not UTF-8 or empty.
inline std::optional<std::string> nonEmptyString(const fskit::FSFileName& name) {
    auto text = name.string();
    if (!text || text->empty()) return std::nullopt;
    return text;
}

inline foundation::Error errorOrIO(const std::optional<foundation::Error>& error) {
    return error ? *error : foundation::Error::posix(foundation::darwin::eio);
}

}  // namespace brindle::volumereplies
