#include "server/passthrough/node_table.h"

#include <gtest/gtest.h>

namespace brindle::passthrough {
namespace {

TEST(PassthroughNodeTable, SameObjectSameIDAndTheRootIsFixed) {
    NodeTable table(7, 100);
    EXPECT_EQ(table.record(7, 100, kRootNode, "x", {}), kRootNode);
    const uint64_t a = table.record(7, 200, kRootNode, "a", {});
    const uint64_t b = table.record(7, 201, kRootNode, "b", {});
    EXPECT_NE(a, kRootNode);
    EXPECT_NE(a, b);
    EXPECT_EQ(table.record(7, 200, kRootNode, "a", {}), a);
    EXPECT_NE(table.record(8, 200, kRootNode, "other-device", {}), a);
    EXPECT_EQ(table.find(kRootNode)->name, "");
}

TEST(PassthroughNodeTable, PathsFollowMovesAndStopAtRemovedNodes) {
    NodeTable table(1, 1);
    const uint64_t dir = table.record(1, 2, kRootNode, "dir", {});
    const uint64_t file = table.record(1, 3, dir, "file", {});
    EXPECT_EQ(*table.path(file), (std::vector<std::string>{"dir", "file"}));
    EXPECT_TRUE(table.path(kRootNode)->empty());
    table.moved(file, kRootNode, "renamed");
    EXPECT_EQ(*table.path(file), (std::vector<std::string>{"renamed"}));
    EXPECT_EQ(table.idOf(1, 3), file);

    table.unlinked(dir);
    EXPECT_FALSE(table.path(dir));
    EXPECT_FALSE(table.idOf(1, 2));
    EXPECT_FALSE(table.find(999));
}

TEST(PassthroughNodeTable, ARemovedNodeStaysOnlyWhileItIsHeldOpen) {
    NodeTable table(1, 1);
    const uint64_t open = table.record(1, 2, kRootNode, "open", {});
    const uint64_t closed = table.record(1, 3, kRootNode, "closed", {});
    auto first = table.pin(open);
    auto second = table.pin(open);
    ASSERT_TRUE(first && second);
    table.unlinked(open);
    table.unlinked(closed);
    EXPECT_FALSE(table.find(closed));
    EXPECT_FALSE(table.pin(closed));
    first.reset();
    ASSERT_TRUE(table.find(open));
    EXPECT_FALSE(table.find(open)->linked);
    second.reset();
    EXPECT_FALSE(table.find(open));
    EXPECT_EQ(table.size(), 1u);
    EXPECT_TRUE(table.issued(open)) << "a removed node's id still counts as issued";
    EXPECT_FALSE(table.issued(open + 100));

    // A pinned node keeps its id when it is not removed at all.
    const uint64_t kept = table.record(1, 4, kRootNode, "kept", {});
    table.pin(kept).reset();
    EXPECT_EQ(table.record(1, 4, kRootNode, "kept", {}), kept);
}

TEST(PassthroughNodeTable, AnInodeWithAnotherStampIsANewObject) {
    NodeTable table(1, 1);
    const uint64_t file = table.record(1, 9, kRootNode, "f", {0100000, 10, 1});
    EXPECT_EQ(table.record(1, 9, kRootNode, "f", {0100000, 10, 1}), file);
    const uint64_t link = table.record(1, 9, kRootNode, "f", {0120000, 11, 0});
    EXPECT_NE(link, file);
    EXPECT_EQ(table.idOf(1, 9), link);
}

TEST(PassthroughNodeTable, AReusedInodeGetsANewID) {
    NodeTable table(1, 1);
    const uint64_t first = table.record(1, 5, kRootNode, "old", {});
    table.unlinked(first);
    const uint64_t second = table.record(1, 5, kRootNode, "new", {});
    EXPECT_NE(first, second);
    EXPECT_GT(second, first);
    table.unlinked(kRootNode);
    EXPECT_TRUE(table.path(kRootNode));
}

}  // namespace
}  // namespace brindle::passthrough
