#pragma once

#include "module/volume/BrindleItem.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace brindle {

// The FSKit volume of one loaded session. This part holds the table of tracked items: one
// canonical item object per node id, so FSKit always holds the same object for a node.
class BrindleVolume {
public:
    using ItemPtr = std::shared_ptr<BrindleItem>;

    BrindleVolume();
    BrindleVolume(const BrindleVolume&) = delete;
    BrindleVolume& operator=(const BrindleVolume&) = delete;

    const ItemPtr& rootItem() const { return rootItem_; }

    void trackItem(const ItemPtr& item);
    void untrackItem(const ItemPtr& item);
    ItemPtr trackedItemForNodeID(uint64_t nodeID) const;
    std::vector<ItemPtr> snapshotTrackedItems() const;
    ItemPtr canonicalItemForItem(const ItemPtr& item);
    ItemPtr canonicalTrackedItem(const ItemPtr& item);
    void cleanupTrackedItems();

    static void applyItemAttributesFromItem(const BrindleItem& source, BrindleItem& target);
    static uint32_t defaultModeForNewItemType(ItemType itemType);
    static uint32_t effectiveModeForItem(const BrindleItem& item);

private:
    mutable std::mutex trackedItemsMutex_;
    std::unordered_map<uint64_t, ItemPtr> trackedItems;
    ItemPtr rootItem_;
};

}  // namespace brindle
