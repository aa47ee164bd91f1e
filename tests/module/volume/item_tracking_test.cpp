#include "module/volume/BrindleVolume.h"
#include "tests/module/volume/volume_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <unistd.h>

using brindle::BrindleItem;
using brindle::BrindleVolume;
using brindle::ItemType;

namespace {

std::shared_ptr<BrindleItem> itemFor(uint64_t nodeID, ItemType type = ItemType::File) {
    auto item = std::make_shared<BrindleItem>();
    item->nodeID = nodeID;
    item->itemType = type;
    return item;
}

}  // namespace

TEST(BrindleItemTest, AFreshItemIsTheRootPlaceholderOwnedByTheProcess) {
    const BrindleItem item;
    EXPECT_EQ(item.name, "/");
    EXPECT_EQ(item.nodeID, 1u);
    EXPECT_EQ(item.parentNodeID, 1u);
    EXPECT_EQ(item.itemType, ItemType::Directory);
    EXPECT_EQ(item.mode, 0755u);
    EXPECT_EQ(item.linkCount, 2u);
    EXPECT_EQ(item.uid, ::getuid());
    EXPECT_EQ(item.gid, ::getgid());
    EXPECT_EQ(item.directoryVerifier, 1u);
    EXPECT_TRUE(item.attributesLoaded);
    EXPECT_FALSE(item.hasPendingFinalMode);
    EXPECT_EQ(item.modifyTime.tv_sec, item.birthTime.tv_sec);
    EXPECT_EQ(item.modifyTime.tv_nsec, item.accessTime.tv_nsec);
    EXPECT_EQ(item.changeTime.tv_nsec, item.birthTime.tv_nsec);
}

TEST(ItemTrackingTest, TheRootIsTrackedUnderNodeOne) {
    volumetest::ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    EXPECT_EQ(volume.trackedItemForNodeID(1), volume.rootItem());
}

TEST(ItemTrackingTest, NodeZeroIsNeverTrackedNorUntracked) {
    volumetest::ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    auto none = itemFor(0);
    volume.trackItem(none);
    volume.untrackItem(none);
    EXPECT_EQ(volume.snapshotTrackedItems().size(), 1u);
    EXPECT_EQ(volume.canonicalItemForItem(none), none);
    EXPECT_EQ(volume.trackedItemForNodeID(0), nullptr);
}

// An item FSKit lets go of may no longer be the one tracked for its node: untracking it must not
// drop the one a later lookup made canonical, or two items for one node end up alive.
TEST(ItemTrackingTest, TrackingReplacesAndUntrackingRemovesOnlyTheTrackedObject) {
    volumetest::ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    auto first = itemFor(7);
    auto second = itemFor(7);
    volume.trackItem(first);
    volume.trackItem(second);
    EXPECT_EQ(volume.trackedItemForNodeID(7), second);
    volume.untrackItem(first);
    EXPECT_EQ(volume.trackedItemForNodeID(7), second);
    auto reclaimed = std::make_shared<rpctest::Await<bool>>();
    volume.reclaimItem(first, [reclaimed](auto error) { reclaimed->set(!error); });
    EXPECT_TRUE(*reclaimed->get());
    EXPECT_EQ(volume.trackedItemForNodeID(7), second);
    volume.untrackItem(second);
    EXPECT_EQ(volume.trackedItemForNodeID(7), nullptr);
}

TEST(ItemTrackingTest, CanonicalTrackedItemOfNoneIsNoneAndOfAnUntrackedItemTracksIt) {
    volumetest::ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    EXPECT_EQ(volume.canonicalTrackedItem(nullptr), nullptr);
    auto item = itemFor(9);
    EXPECT_EQ(volume.canonicalTrackedItem(item), item);
    EXPECT_EQ(volume.trackedItemForNodeID(9), item);
}

TEST(ItemTrackingTest, ALaterItemRefreshesTheCanonicalOneButNotItsEnumerationStateNorItsPendingMode) {
    volumetest::ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    auto canonical = itemFor(5, ItemType::Directory);
    canonical->directoryHandleID = 44;
    canonical->directoryResumeCookie = 12;
    canonical->directoryVerifier = 3;
    canonical->hasPendingFinalMode = true;
    canonical->pendingFinalMode = 0444;
    volume.trackItem(canonical);

    auto newer = itemFor(5, ItemType::Directory);
    newer->name = "docs";
    newer->mode = 0;
    newer->size = 4096;
    newer->directoryHandleID = 99;
    newer->directoryVerifier = 0;
    newer->attributesLoaded = false;
    newer->modifyTime = {123, 456};

    EXPECT_EQ(volume.canonicalItemForItem(newer), canonical);
    EXPECT_EQ(canonical->name, "docs");
    EXPECT_EQ(canonical->mode, 0u);
    EXPECT_EQ(canonical->size, 4096u);
    EXPECT_FALSE(canonical->attributesLoaded);
    EXPECT_EQ(canonical->modifyTime.tv_sec, 123);
    EXPECT_EQ(canonical->modifyTime.tv_nsec, 456);
    EXPECT_TRUE(canonical->hasPendingFinalMode);
    EXPECT_EQ(canonical->pendingFinalMode, 0444u);
    EXPECT_EQ(canonical->directoryHandleID, 44u);
    EXPECT_EQ(canonical->directoryResumeCookie, 12u);
    EXPECT_EQ(canonical->directoryVerifier, 3u);
}

TEST(ItemTrackingTest, CanonicalisingTheCanonicalItemOnlyFillsTheVerifier) {
    volumetest::ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    auto item = itemFor(6, ItemType::SymbolicLink);
    item->mode = 0;
    item->directoryVerifier = 0;
    item->size = 17;
    volume.trackItem(item);
    EXPECT_EQ(volume.canonicalItemForItem(item), item);
    EXPECT_EQ(item->mode, 0u);
    EXPECT_EQ(item->directoryVerifier, 1u);
    EXPECT_EQ(item->size, 17u);
}

TEST(ItemTrackingTest, CleanupResetsHandlesAndEmptiesTheTable) {
    volumetest::ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    auto directory = itemFor(3, ItemType::Directory);
    directory->directoryHandleID = 8;
    directory->directoryResumeCookie = 9;
    volume.trackItem(directory);
    volume.rootItem()->directoryHandleID = 2;
    volume.cleanupTrackedItems();
    EXPECT_TRUE(volume.snapshotTrackedItems().empty());
    EXPECT_EQ(directory->directoryHandleID, 0u);
    EXPECT_EQ(directory->directoryResumeCookie, 0u);
    EXPECT_EQ(volume.rootItem()->directoryHandleID, 0u);
    ASSERT_NE(volume.rootItem(), nullptr);
}

TEST(ItemTrackingTest, ConcurrentRepliesForOneNewNodeYieldOneObject) {
    for (int round = 0; round < 50; ++round) {
        volumetest::ScriptedVolume scripted;
        BrindleVolume& volume = *scripted.volume;
        std::shared_ptr<BrindleItem> results[4];
        std::vector<std::thread> threads;
        for (auto& result : results) {
            threads.emplace_back([&volume, &result] { result = volume.canonicalItemForItem(itemFor(42)); });
        }
        for (auto& thread : threads) thread.join();
        for (const auto& result : results) EXPECT_EQ(result, results[0]);
        EXPECT_EQ(volume.trackedItemForNodeID(42), results[0]);
    }
}

TEST(ItemModeTest, DefaultAndEffectiveModes) {
    EXPECT_EQ(BrindleVolume::defaultModeForNewItemType(ItemType::File), 0644u);
    EXPECT_EQ(BrindleVolume::defaultModeForNewItemType(ItemType::Directory), 0755u);
    EXPECT_EQ(BrindleVolume::defaultModeForNewItemType(ItemType::SymbolicLink), 0777u);
    for (auto type : {ItemType::None, ItemType::FIFO, ItemType::CharacterDevice, ItemType::BlockDevice,
                      ItemType::Socket}) {
        EXPECT_EQ(BrindleVolume::defaultModeForNewItemType(type), 0u);
    }
    auto item = itemFor(4, ItemType::File);
    item->mode = 0;
    EXPECT_EQ(BrindleVolume::effectiveModeForItem(*item), 0u);
    item->mode = 0100600;
    EXPECT_EQ(BrindleVolume::effectiveModeForItem(*item), 0100600u);
    item->hasPendingFinalMode = true;
    item->pendingFinalMode = 0444;
    EXPECT_EQ(BrindleVolume::effectiveModeForItem(*item), 0444u);
}

// Lookups of one node complete on the callback pool while items that are no longer tracked are
// reclaimed: every lookup must keep yielding the one tracked object.
TEST(ItemTrackingTest, ReclaimingStaleItemsRacingLookupsNeverDropsTheCanonicalOne) {
    volumetest::ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    const auto canonical = volume.canonicalItemForItem(itemFor(42));
    constexpr int lookupsPerThread = 300;
    constexpr int lookupThreads = 3;
    // Shared with the completions, which may outlive the test body when it fails.
    struct Seen {
        std::mutex mutex;
        std::vector<std::shared_ptr<BrindleItem>> items;
    };
    auto seen = std::make_shared<Seen>();
    std::vector<std::jthread> threads;
    for (int t = 0; t < lookupThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < lookupsPerThread; ++i) {
                volume.lookupItemNamed(fskit::FSFileName::nameWithString("f"), volume.rootItem(),
                                       [seen](auto item, auto, auto) {
                                           std::lock_guard lock(seen->mutex);
                                           seen->items.push_back(item);
                                       });
            }
        });
    }
    threads.emplace_back([&](std::stop_token stop) {
        std::vector<std::shared_ptr<BrindleItem>> stale;
        for (int i = 0; i < 16; ++i) stale.push_back(itemFor(42));
        for (size_t i = 0; !stop.stop_requested(); ++i) volume.reclaimItem(stale[i % stale.size()], [](auto) {});
    });
    for (int i = 0; i < lookupThreads * lookupsPerThread; ++i)
        scripted.serve("lookup", {{"ok", true}, {"lookup_item", volumetest::itemRecord(42, 1, "f", "file")}});
    const auto allAnswered = [&] {
        std::lock_guard lock(seen->mutex);
        return seen->items.size() == lookupThreads * lookupsPerThread;
    };
    for (int wait = 0; wait < 1000 && !allAnswered(); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard lock(seen->mutex);
    ASSERT_EQ(seen->items.size(), size_t{lookupThreads * lookupsPerThread});
    for (const auto& result : seen->items) ASSERT_EQ(result, canonical);
    EXPECT_EQ(volume.trackedItemForNodeID(42), canonical);
}
