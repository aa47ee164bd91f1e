#include "server/passthrough/node_table.h"

#include <gtest/gtest.h>

namespace brindle::server {
namespace {

TEST(ServerNodeTable, SameObjectSameIDAndTheRootIsFixed) {
    NodeTable table(7, 100);
    EXPECT_EQ(table.record(7, 100, kRootNodeID, "x", {}), kRootNodeID);
    const uint64_t a = table.record(7, 200, kRootNodeID, "a", {});
    const uint64_t b = table.record(7, 201, kRootNodeID, "b", {});
    EXPECT_NE(a, kRootNodeID);
    EXPECT_NE(a, b);
    EXPECT_EQ(table.record(7, 200, kRootNodeID, "a", {}), a);
    EXPECT_NE(table.record(8, 200, kRootNodeID, "other-device", {}), a);
    EXPECT_EQ(table.find(kRootNodeID)->name, "");
}

TEST(ServerNodeTable, PathsFollowMovesAndStopAtRemovedNodes) {
    NodeTable table(1, 1);
    const uint64_t dir = table.record(1, 2, kRootNodeID, "dir", {});
    const uint64_t file = table.record(1, 3, dir, "file", {});
    EXPECT_EQ(*table.path(file), (std::vector<std::string>{"dir", "file"}));
    EXPECT_TRUE(table.path(kRootNodeID)->empty());
    table.moved(file, kRootNodeID, "renamed");
    EXPECT_EQ(*table.path(file), (std::vector<std::string>{"renamed"}));
    EXPECT_EQ(table.idOf(1, 3), file);

    table.unlinked(dir);
    EXPECT_FALSE(table.path(dir));
    EXPECT_FALSE(table.idOf(1, 2));
    EXPECT_FALSE(table.find(999));
}

TEST(ServerNodeTable, ARemovedNodeStaysOnlyWhileItIsHeldOpen) {
    NodeTable table(1, 1);
    const uint64_t open = table.record(1, 2, kRootNodeID, "open", {});
    const uint64_t closed = table.record(1, 3, kRootNodeID, "closed", {});
    ASSERT_TRUE(table.pin(open));
    ASSERT_TRUE(table.pin(open));
    table.unlinked(open);
    table.unlinked(closed);
    EXPECT_FALSE(table.find(closed));
    EXPECT_FALSE(table.pin(closed));
    table.unpin(open);
    ASSERT_TRUE(table.find(open));
    EXPECT_FALSE(table.find(open)->linked);
    table.unpin(open);
    EXPECT_FALSE(table.find(open));
    EXPECT_EQ(table.size(), 1u);

    // A pinned node keeps its id when it is not removed at all.
    const uint64_t kept = table.record(1, 4, kRootNodeID, "kept", {});
    table.pin(kept);
    table.unpin(kept);
    EXPECT_EQ(table.record(1, 4, kRootNodeID, "kept", {}), kept);
}

TEST(ServerNodeTable, AnInodeWithAnotherStampIsANewObject) {
    NodeTable table(1, 1);
    const uint64_t file = table.record(1, 9, kRootNodeID, "f", {0100000, 10, 1});
    EXPECT_EQ(table.record(1, 9, kRootNodeID, "f", {0100000, 10, 1}), file);
    const uint64_t link = table.record(1, 9, kRootNodeID, "f", {0120000, 11, 0});
    EXPECT_NE(link, file);
    EXPECT_EQ(table.idOf(1, 9), link);
}

TEST(ServerNodeTable, AReusedInodeGetsANewID) {
    NodeTable table(1, 1);
    const uint64_t first = table.record(1, 5, kRootNodeID, "old", {});
    table.unlinked(first);
    const uint64_t second = table.record(1, 5, kRootNodeID, "new", {});
    EXPECT_NE(first, second);
    EXPECT_GT(second, first);
    table.unlinked(kRootNodeID);
    EXPECT_TRUE(table.path(kRootNodeID));
}

}  // namespace
}  // namespace brindle::server
