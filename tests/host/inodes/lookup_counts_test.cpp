#include "host/fuse/inodes/lookup_counts.h"

#include "module/volume/BrindleVolume.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <vector>

using namespace brindle;
using namespace brindle::host;

namespace {

std::shared_ptr<BrindleItem> fileWithNodeID(uint64_t nodeID) {
    auto item = std::make_shared<BrindleItem>();
    item->nodeID = nodeID;
    item->itemType = ItemType::File;
    return item;
}

struct Counts {
    InodeTable inodes{fileWithNodeID(2), 2};
    std::mutex mutex;
    std::vector<std::shared_ptr<BrindleItem>> reclaimed;
    LookupCounts lookups{inodes, [this](const std::shared_ptr<BrindleItem>& item) {
                             std::lock_guard lock(mutex);
                             reclaimed.push_back(item);
                         }};
};

constexpr auto sent = [] { return 0; };
constexpr auto refused = [] { return -ENOENT; };

}  // namespace

TEST(LookupCounts, EveryEntryAReplyHandsOverIsCountedOnceAndReclaimedAtTheLastForget) {
    Counts counts;
    auto first = fileWithNodeID(10);
    auto second = fileWithNodeID(11);
    EXPECT_TRUE(counts.lookups.handOver({{first, 1, "a"}, {second, 1, "b"}}, sent));
    EXPECT_TRUE(counts.lookups.handOver({{first, 1, "a"}}, sent));
    EXPECT_EQ(counts.inodes.lookupCount(10), 2u);
    EXPECT_EQ(counts.inodes.lookupCount(11), 1u);

    counts.lookups.forget(10, 1);
    EXPECT_TRUE(counts.reclaimed.empty());
    counts.lookups.forget(10, 1);
    counts.lookups.forget(11, 1);
    ASSERT_EQ(counts.reclaimed.size(), 2u);
    EXPECT_EQ(counts.reclaimed[0], first);
    EXPECT_EQ(counts.reclaimed[1], second);
    counts.lookups.forget(10, 1);
    EXPECT_EQ(counts.reclaimed.size(), 2u) << "a forget for an inode let go of reclaims nothing";
}

TEST(LookupCounts, AReplyThatFailsTakesBackItsCountsAndLetsGoOfWhatOnlyItHeld) {
    Counts counts;
    auto held = fileWithNodeID(10);
    auto fresh = fileWithNodeID(11);
    ASSERT_TRUE(counts.lookups.handOver({{held, 1, "held"}}, sent));

    EXPECT_FALSE(counts.lookups.handOver({{held, 1, "held"}, {fresh, 1, "fresh"}}, refused));
    EXPECT_EQ(counts.inodes.lookupCount(10), 1u) << "the kernel's earlier reference stays";
    EXPECT_EQ(counts.inodes.item(11), nullptr);
    ASSERT_EQ(counts.reclaimed.size(), 1u);
    EXPECT_EQ(counts.reclaimed[0], fresh);
}

TEST(LookupCounts, AnItemNamedWithoutAReferenceIsLetGoOnlyWhenTheKernelHoldsItNeitherByLookupNorByOpen) {
    Counts counts;
    auto listed = fileWithNodeID(10);
    auto looked = fileWithNodeID(11);
    auto open = fileWithNodeID(12);
    ASSERT_TRUE(counts.lookups.handOver({{looked, 1, "looked"}, {open, 1, "open"}}, sent));
    counts.inodes.recordOpen(12, BrindleVolume::openModeRead, 1);
    counts.lookups.forget(12, 1);

    for (const auto& item : {listed, looked, open}) counts.lookups.releaseUnreferenced(item);
    ASSERT_EQ(counts.reclaimed.size(), 1u);
    EXPECT_EQ(counts.reclaimed[0], listed);
    EXPECT_EQ(counts.inodes.item(11), looked);
    EXPECT_EQ(counts.inodes.item(12), open);
    counts.lookups.releaseUnreferenced(nullptr);
    EXPECT_EQ(counts.reclaimed.size(), 1u);
}

// Replies and forgets for one inode race on the kernel's threads; the item goes back to the
// volume exactly when the last reference goes, never while one is left.
TEST(LookupCounts, ConcurrentRepliesAndForgetsReclaimOnlyAtZero) {
    Counts counts;
    auto item = fileWithNodeID(10);
    ASSERT_TRUE(counts.lookups.handOver({{item, 1, "f"}}, sent));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (counts.lookups.handOver({{item, 1, "f"}}, (i + t) % 3 == 0 ? +refused : +sent))
                    counts.lookups.forget(10, 1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_TRUE(counts.reclaimed.empty()) << "the first reference was held throughout";
    EXPECT_EQ(counts.inodes.lookupCount(10), 1u);
    counts.lookups.forget(10, 1);
    EXPECT_EQ(counts.reclaimed.size(), 1u);
}
