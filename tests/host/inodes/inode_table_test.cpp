#include "host/fuse/inodes/inode_table.h"

#include "module/volume/BrindleVolume.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace brindle;
using namespace brindle::host;

namespace {

std::shared_ptr<BrindleItem> itemWithNodeID(uint64_t nodeID) {
    auto item = std::make_shared<BrindleItem>();
    item->nodeID = nodeID;
    item->itemType = ItemType::File;
    return item;
}

std::shared_ptr<BrindleItem> itemNamed(uint64_t nodeID, uint64_t parentNodeID, std::string name) {
    auto item = itemWithNodeID(nodeID);
    item->parentNodeID = parentNodeID;
    item->name = std::move(name);
    return item;
}

constexpr uint32_t readMode = BrindleVolume::openModeRead;
constexpr uint32_t writeMode = BrindleVolume::openModeWrite;

}  // namespace

TEST(InodeTable, TheServersRootIsInodeOneAndNodeOneTakesTheRootsID) {
    InodeTable table(itemWithNodeID(77), 77);
    EXPECT_EQ(table.inodeForNodeID(77), 1u);
    EXPECT_EQ(table.inodeForNodeID(1), 77u);
    EXPECT_EQ(table.inodeForNodeID(5), 5u);
    for (uint64_t node : {1ull, 5ull, 77ull, 1000ull}) EXPECT_EQ(table.nodeIDForInode(table.inodeForNodeID(node)), node);

    auto nodeOne = itemWithNodeID(1);
    EXPECT_EQ(table.remember(nodeOne, 1), 77u);
    EXPECT_EQ(table.item(77), nodeOne);
    EXPECT_EQ(table.item(1)->nodeID, 77u);
}

TEST(InodeTable, RootServedAsNodeOneNeedsNoSwap) {
    InodeTable table(itemWithNodeID(1), 1);
    EXPECT_EQ(table.inodeForNodeID(1), 1u);
    EXPECT_EQ(table.inodeForNodeID(2), 2u);
}

TEST(InodeTable, AnItemIsLetGoOnlyWhenItsLastLookupIsForgotten) {
    InodeTable table(itemWithNodeID(2), 2);
    auto item = itemWithNodeID(10);
    table.remember(item, 1);
    table.remember(item, 2);
    EXPECT_EQ(table.lookupCount(10), 3u);
    EXPECT_EQ(table.forget(10, 2), nullptr);
    EXPECT_EQ(table.item(10), item);
    EXPECT_EQ(table.forget(10, 1), item);
    EXPECT_EQ(table.item(10), nullptr);
    EXPECT_EQ(table.forget(10, 1), nullptr) << "a second forget of a gone inode changes nothing";
    EXPECT_EQ(table.forget(999, 1), nullptr);
}

TEST(InodeTable, ForgettingMoreThanWasLookedUpStopsAtZero) {
    InodeTable table(itemWithNodeID(2), 2);
    auto item = itemWithNodeID(10);
    table.remember(item, 1);
    EXPECT_EQ(table.forget(10, 5), item);
    EXPECT_EQ(table.size(), 1u);
}

TEST(InodeTable, TheRootIsNeverLetGo) {
    auto root = itemWithNodeID(2);
    InodeTable table(root, 2);
    EXPECT_EQ(table.forget(InodeTable::rootInode, 100), nullptr);
    EXPECT_EQ(table.item(InodeTable::rootInode), root);
}

TEST(InodeTable, ANewerObjectForTheSameNodeReplacesTheOldAndKeepsTheCount) {
    InodeTable table(itemWithNodeID(2), 2);
    auto first = itemWithNodeID(10);
    auto second = itemWithNodeID(10);
    table.remember(first, 1);
    table.remember(second, 1);
    EXPECT_EQ(table.item(10), second);
    EXPECT_EQ(table.lookupCount(10), 2u);
}

TEST(InodeTable, ReleasesPassTheModesOtherOpensKeep) {
    InodeTable table(itemWithNodeID(2), 2);
    table.remember(itemWithNodeID(10), 1);
    table.recordOpen(10, readMode, 1);
    table.recordOpen(10, readMode | writeMode, 1);
    table.recordOpen(10, writeMode, 1);
    EXPECT_EQ(table.recordRelease(10, readMode | writeMode, 1).keepingModes, readMode | writeMode);
    EXPECT_EQ(table.recordRelease(10, writeMode, 1).keepingModes, readMode);
    EXPECT_EQ(table.recordRelease(10, readMode, 1).keepingModes, 0u);
    EXPECT_EQ(table.recordRelease(10, readMode, 1).keepingModes, 0u) << "an unmatched release counts nothing";
}

TEST(InodeTable, AnInodeForgottenWhileOpenIsLetGoAtItsLastRelease) {
    InodeTable table(itemWithNodeID(2), 2);
    auto item = itemWithNodeID(10);
    table.remember(item, 1);
    table.recordOpen(10, readMode, 1);
    EXPECT_EQ(table.forget(10, 1), nullptr);
    EXPECT_EQ(table.item(10), item);
    const auto release = table.recordRelease(10, readMode, 1);
    EXPECT_EQ(release.keepingModes, 0u);
    EXPECT_EQ(release.unreferenced, item);
    EXPECT_EQ(table.item(10), nullptr);
}

TEST(InodeTable, ConcurrentLookupsAndForgetsBalance) {
    InodeTable table(itemWithNodeID(2), 2);
    auto item = itemWithNodeID(10);
    std::atomic<int> letGo{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                table.remember(item, 1);
                if (table.forget(10, 1)) ++letGo;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(table.lookupCount(10), 0u);
    EXPECT_EQ(table.item(10), nullptr);
    EXPECT_GE(letGo.load(), 1);
}

TEST(InodeTable, AnEntryIsFoundByItsParentAndNameWhileTheItemStillCarriesThem) {
    InodeTable table(itemWithNodeID(2), 2);
    auto file = itemNamed(10, 2, "a");
    table.remember(file, 1, InodeTable::rootInode, "a");
    EXPECT_EQ(table.itemNamed(InodeTable::rootInode, "a"), file);
    EXPECT_EQ(table.itemNamed(InodeTable::rootInode, "b"), nullptr);
    EXPECT_EQ(table.itemNamed(10, "a"), nullptr);

    // Renamed by the volume: the old name no longer leads to it until the new one is recorded.
    auto directory = itemNamed(20, 2, "d");
    table.remember(directory, 1, InodeTable::rootInode, "d");
    {
        std::lock_guard lock(file->fieldsMutex);
        file->name = "b";
        file->parentNodeID = 20;
    }
    EXPECT_EQ(table.itemNamed(InodeTable::rootInode, "a"), nullptr);
    EXPECT_EQ(table.itemNamed(20, "b"), nullptr);
    table.rename(10, 20, "b");
    EXPECT_EQ(table.itemNamed(20, "b"), file);
}

TEST(InodeTable, ANameLeadsToTheNewestEntryAndGoesWithTheLastReference) {
    InodeTable table(itemWithNodeID(2), 2);
    auto old = itemNamed(10, 2, "a");
    auto replacement = itemNamed(11, 2, "a");
    table.remember(old, 1, InodeTable::rootInode, "a");
    table.remember(replacement, 1, InodeTable::rootInode, "a");
    EXPECT_EQ(table.itemNamed(InodeTable::rootInode, "a"), replacement);

    // Letting the old inode go must not take the name from the one that holds it now.
    EXPECT_EQ(table.forget(10, 1), old);
    EXPECT_EQ(table.itemNamed(InodeTable::rootInode, "a"), replacement);
    table.recordOpen(11, readMode, 1);
    EXPECT_EQ(table.forget(11, 1), nullptr);
    EXPECT_EQ(table.itemNamed(InodeTable::rootInode, "a"), replacement) << "still open";
    EXPECT_EQ(table.recordRelease(11, readMode, 1).unreferenced, replacement);
    EXPECT_EQ(table.itemNamed(InodeTable::rootInode, "a"), nullptr);
}

TEST(InodeTable, TheServersRootIDNamesTheRootDirectory) {
    InodeTable table(itemWithNodeID(77), 77);
    auto child = itemNamed(5, 77, "c");
    table.remember(child, 1, InodeTable::rootInode, "c");
    EXPECT_EQ(table.itemNamed(InodeTable::rootInode, "c"), child);
}

TEST(InodeTable, AnOpenKeepsTheCacheOnlyWhenThePreviousOpenOfTheSameInodeSawTheSame) {
    InodeTable table(itemWithNodeID(1), 1);
    const uint64_t inode = table.remember(itemWithNodeID(5), 1);
    const InodeTable::ContentStamp first{4, {1000, 1}, 0};
    EXPECT_FALSE(table.restamp(inode, first)) << "nothing was cached before the first open";
    EXPECT_TRUE(table.restamp(inode, first));
    EXPECT_FALSE(table.restamp(inode, {4, {1000, 2}, 0})) << "same size, newer nanoseconds";
    EXPECT_FALSE(table.restamp(inode, {5, {1000, 2}, 0})) << "same time, new size";
    EXPECT_FALSE(table.restamp(inode, {5, {1000, 2}, 7})) << "a directory's new verifier";
    table.clearStamp(inode);
    EXPECT_FALSE(table.restamp(inode, {5, {1000, 2}, 7})) << "an open that could not stamp keeps nothing";

    ASSERT_TRUE(table.forget(inode, 1));
    EXPECT_FALSE(table.restamp(inode, {5, {1000, 2}, 7})) << "an inode the kernel forgot has no stamp";
    table.remember(itemWithNodeID(5), 1);
    EXPECT_FALSE(table.restamp(inode, {5, {1000, 2}, 7})) << "the kernel's pages went with its inode";
}

TEST(InodeTable, AKeptCacheAgesFromTheStampThatBeganIt) {
    using namespace std::chrono_literals;
    InodeTable table(itemWithNodeID(1), 1);
    const uint64_t inode = table.remember(itemWithNodeID(6), 1);
    const InodeTable::ContentStamp stamp{0, {1000, 0}, 3};
    EXPECT_FALSE(table.restamp(inode, stamp, 1h));
    EXPECT_TRUE(table.restamp(inode, stamp, 1h));
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(table.restamp(inode, stamp, 1h));
    EXPECT_FALSE(table.restamp(inode, stamp, 10ms)) << "kept opens do not make the cache younger";
    EXPECT_TRUE(table.restamp(inode, stamp, 10ms)) << "the dropped cache began again at the last open";
}
