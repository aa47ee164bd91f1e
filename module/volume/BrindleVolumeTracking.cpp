#include "module/volume/BrindleVolume.h"

namespace brindle {

namespace {

uint64_t nodeIDOf(const BrindleItem& item) {
    std::lock_guard fields(item.fieldsMutex);
    return item.nodeID;
}

// The mode the item will have once its pending final mode is applied: what a local file system
// shows from the moment the file is created.
uint32_t effectiveModeLocked(const BrindleItem& item) {
    return item.hasPendingFinalMode ? item.pendingFinalMode : item.mode;
}

}  // namespace

void BrindleVolume::trackItem(const ItemPtr& item) {
    const uint64_t nodeID = nodeIDOf(*item);
    if (nodeID == 0) return;
    std::lock_guard lock(trackedItemsMutex_);
    trackedItems[nodeID] = item;
}

void BrindleVolume::untrackItem(const ItemPtr& item) {
    const uint64_t nodeID = nodeIDOf(*item);
    if (nodeID == 0) return;
    std::lock_guard lock(trackedItemsMutex_);
    // Only the very object: another one under the node id was made canonical after this one was
    // let go, and is what FSKit holds now.
    const auto found = trackedItems.find(nodeID);
    if (found != trackedItems.end() && found->second == item) trackedItems.erase(found);
}

BrindleVolume::ItemPtr BrindleVolume::trackedItemForNodeID(uint64_t nodeID) const {
    std::lock_guard lock(trackedItemsMutex_);
    const auto found = trackedItems.find(nodeID);
    return found != trackedItems.end() ? found->second : nullptr;
}

std::vector<BrindleVolume::ItemPtr> BrindleVolume::snapshotTrackedItems() const {
    std::lock_guard lock(trackedItemsMutex_);
    std::vector<ItemPtr> items;
    items.reserve(trackedItems.size());
    for (const auto& [nodeID, item] : trackedItems) items.push_back(item);
    return items;
}

BrindleVolume::ItemPtr BrindleVolume::canonicalItemForItem(const ItemPtr& item) {
    const uint64_t nodeID = nodeIDOf(*item);
    ItemPtr canonical;
    {
        // Held across lookup and insertion: two replies for one new node yield one tracked object.
        std::lock_guard lock(trackedItemsMutex_);
        const auto found = trackedItems.find(nodeID);
        if (found != trackedItems.end()) {
            canonical = found->second;
        } else {
            if (nodeID != 0) trackedItems.emplace(nodeID, item);
            return item;
        }
    }
    applyItemAttributesFromItem(*item, *canonical);
    return canonical;
}

BrindleVolume::ItemPtr BrindleVolume::canonicalTrackedItem(const ItemPtr& item) {
    return item ? canonicalItemForItem(item) : nullptr;
}

void BrindleVolume::cleanupTrackedItems() {
    for (const ItemPtr& item : snapshotTrackedItems()) {
        std::lock_guard fields(item->fieldsMutex);
        item->directoryHandleID = 0;
        item->directoryResumeCookie = 0;
        item->directoryBatch.reset();
        item->directoryHandleClosedByServer = false;
    }
    std::lock_guard lock(trackedItemsMutex_);
    trackedItems.clear();
}

BrindleVolume::ItemPlace BrindleVolume::placeOfItem(const BrindleItem& item) {
    std::lock_guard fields(item.fieldsMutex);
    return {item.nodeID, item.parentNodeID, item.name, item.itemType};
}

bool BrindleVolume::hasLoadedAttributes(const BrindleItem& item) {
    std::lock_guard fields(item.fieldsMutex);
    return item.attributesLoaded;
}

std::optional<timespec> BrindleVolume::birthTimeOf(const BrindleItem& item) {
    std::lock_guard fields(item.fieldsMutex);
    if (!item.attributesLoaded || (item.birthTime.tv_sec == 0 && item.birthTime.tv_nsec == 0)) return std::nullopt;
    return item.birthTime;
}

std::optional<uint32_t> BrindleVolume::pendingFinalModeOf(const BrindleItem& item) {
    std::lock_guard fields(item.fieldsMutex);
    if (!item.hasPendingFinalMode) return std::nullopt;
    return item.pendingFinalMode & 0777;
}

void BrindleVolume::clearPendingFinalMode(BrindleItem& item) {
    std::lock_guard fields(item.fieldsMutex);
    item.hasPendingFinalMode = false;
    item.pendingFinalMode = 0;
}

void BrindleVolume::applyItemAttributesFromItem(const BrindleItem& source, BrindleItem& target) {
    if (&source == &target) {
        std::lock_guard fields(target.fieldsMutex);
        if (target.directoryVerifier == 0) target.directoryVerifier = 1;
        return;
    }
    std::scoped_lock fields(source.fieldsMutex, target.fieldsMutex);
    target.name = source.name;
    target.nodeID = source.nodeID;
    target.parentNodeID = source.parentNodeID;
    target.directoryCookie = source.directoryCookie;
    target.itemType = source.itemType;
    // The pending final mode stays with the tracked item until the last close applies it or a mode
    // change replaces it: through the volume, or behind it, seen as a mode the item did not have.
    const bool reportsAnotherMode = source.attributesLoaded && (source.mode & 07777) != (target.mode & 07777);
    if (target.hasPendingFinalMode && reportsAnotherMode) {
        target.hasPendingFinalMode = false;
        target.pendingFinalMode = 0;
    }
    target.mode = source.mode;
    target.linkCount = source.linkCount;
    target.uid = source.uid;
    target.gid = source.gid;
    target.size = source.size;
    target.allocSize = source.allocSize;
    target.modifyTime = source.modifyTime;
    target.changeTime = source.changeTime;
    target.accessTime = source.accessTime;
    target.birthTime = source.birthTime;
    target.attributesLoaded = source.attributesLoaded;
    target.changedRecord.reset();
    if (target.directoryVerifier == 0) target.directoryVerifier = 1;
}

uint32_t BrindleVolume::defaultModeForNewItemType(ItemType itemType) {
    switch (itemType) {
        case ItemType::File: return 0644;
        case ItemType::Directory: return 0755;
        case ItemType::SymbolicLink: return 0777;
        default: return 0;
    }
}

uint32_t BrindleVolume::effectiveModeForItem(const BrindleItem& item) {
    std::lock_guard fields(item.fieldsMutex);
    return effectiveModeLocked(item);
}

}  // namespace brindle
