#include "sdk/cpp/dispatch/pending_changes.h"

#include <gtest/gtest.h>

#include <string>

namespace brindle::sdk {
namespace {

using Entry = PendingChanges::Entry;

TEST(SdkPendingChanges, RepeatedChangesCoalesceInFirstSeenOrder) {
    PendingChanges pending(100);
    EXPECT_TRUE(pending.empty());
    pending.nodeChanged(7);
    pending.entryChanged(1, "a");
    pending.nodeChanged(3);
    pending.nodeChanged(7);
    pending.entryChanged(1, "a");
    pending.entryChanged(2, "a");
    pending.entryChanged(1, "b");
    EXPECT_FALSE(pending.empty());

    const auto batch = pending.take();
    EXPECT_FALSE(batch.everything);
    EXPECT_EQ(batch.nodes, (std::vector<NodeId>{7, 3}));
    EXPECT_EQ(batch.entries, (std::vector<Entry>{{1, "a"}, {2, "a"}, {1, "b"}}));

    // Taken means told: the same change afterwards is news again.
    EXPECT_TRUE(pending.empty());
    pending.entryChanged(1, "a");
    EXPECT_EQ(pending.take().entries, (std::vector<Entry>{{1, "a"}}));
}

TEST(SdkPendingChanges, AFloodPastTheLimitBecomesOneChangeOfEverything) {
    PendingChanges pending(3);
    pending.nodeChanged(1);
    pending.entryChanged(1, "x");
    pending.nodeChanged(2);
    // Already pending: no room needed.
    pending.nodeChanged(2);
    pending.entryChanged(1, "x");
    auto batch = pending.take();
    EXPECT_FALSE(batch.everything);
    EXPECT_EQ(batch.nodes.size() + batch.entries.size(), 3u);

    pending.nodeChanged(1);
    pending.entryChanged(1, "x");
    pending.nodeChanged(2);
    pending.entryChanged(1, "y");
    EXPECT_TRUE(pending.take().everything);

    for (int i = 0; i < 100000; ++i) {
        pending.entryChanged(1, "file" + std::to_string(i));
        pending.nodeChanged(static_cast<NodeId>(i) + 10);
    }
    batch = pending.take();
    EXPECT_TRUE(batch.everything);
    EXPECT_TRUE(batch.nodes.empty());
    EXPECT_TRUE(batch.entries.empty());

    // After it was told, details are kept again.
    EXPECT_TRUE(pending.empty());
    pending.nodeChanged(5);
    batch = pending.take();
    EXPECT_FALSE(batch.everything);
    EXPECT_EQ(batch.nodes, (std::vector<NodeId>{5}));
}

}  // namespace
}  // namespace brindle::sdk
