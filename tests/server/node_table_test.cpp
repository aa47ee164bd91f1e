#include "server/passthrough/node_table.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <future>

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

TEST(PassthroughNodeTable, ANodeGoesOnlyOnceEveryHandoutIsForgotten) {
    NodeTable table(1, 1);
    const uint64_t file = table.record(1, 2, kRootNode, "file", {});
    EXPECT_EQ(table.record(1, 2, kRootNode, "file", {}), file);
    EXPECT_TRUE(table.forget(file, 3).empty()) << "a count above the handouts is passed over";
    EXPECT_TRUE(table.forget(file, 1).empty());
    ASSERT_TRUE(table.find(file)) << "one handout is still held";
    EXPECT_EQ(table.forget(file, 1), std::vector<uint64_t>{file});
    EXPECT_FALSE(table.find(file));
    EXPECT_FALSE(table.idOf(1, 2));
    EXPECT_TRUE(table.issued(file));
    EXPECT_EQ(table.record(1, 2, kRootNode, "file", {}), file) << "the same object found again gets its id back";
    EXPECT_EQ(*table.path(file), std::vector<std::string>{"file"});
    EXPECT_TRUE(table.forget(kRootNode, 1).empty());
    EXPECT_TRUE(table.forget(file + 100, 1).empty());
    EXPECT_EQ(table.size(), 2u);

    // A rename's own sighting of its target hands nothing out.
    table.recordUnannounced(1, 2, kRootNode, "moved", {});
    EXPECT_EQ(table.forget(file, 1), std::vector<uint64_t>{file});

    // Its inode number on a new object: another id; the old one never names the new object.
    const NodeTable::Stamp newer{S_IFREG, 5, 0};
    const uint64_t other = table.record(1, 2, kRootNode, "file", newer);
    EXPECT_NE(other, file);
    EXPECT_FALSE(table.find(file));
    EXPECT_EQ(table.forget(other, 1), std::vector<uint64_t>{other});
    table.retire(1, 2, newer);  // removed while forgotten: nothing to give back
    EXPECT_NE(table.record(1, 2, kRootNode, "file", newer), other);
}

TEST(PassthroughNodeTable, AForgottenDirectoryStaysWhileAChildNamesIt) {
    NodeTable table(1, 1);
    const uint64_t dir = table.record(1, 2, kRootNode, "dir", {});
    const uint64_t sub = table.record(1, 3, dir, "sub", {});
    const uint64_t file = table.record(1, 4, sub, "file", {});
    const uint64_t other = table.record(1, 5, kRootNode, "other", {});
    EXPECT_TRUE(table.forget(dir, 1).empty());
    EXPECT_TRUE(table.forget(sub, 1).empty());
    EXPECT_EQ(*table.path(file), (std::vector<std::string>{"dir", "sub", "file"}));

    // A child moved away no longer needs its old parent; the one left still does.
    const uint64_t second = table.record(1, 6, sub, "second", {});
    table.moved(second, other, "second");
    EXPECT_TRUE(table.find(sub));

    // The last child's forget takes the parents that were kept only for it.
    EXPECT_EQ(table.forget(file, 1), (std::vector<uint64_t>{file, sub, dir}));
    EXPECT_FALSE(table.find(dir));
    EXPECT_EQ(*table.path(second), (std::vector<std::string>{"other", "second"}));

    // Looked up again before its child goes, a parent is held again.
    const uint64_t dir2 = table.record(1, 2, kRootNode, "dir", {});
    const uint64_t file2 = table.record(1, 7, dir2, "file", {});
    EXPECT_TRUE(table.forget(dir2, 1).empty());
    table.record(1, 2, kRootNode, "dir", {});
    EXPECT_EQ(table.forget(file2, 1), std::vector<uint64_t>{file2});
    EXPECT_TRUE(table.find(dir2));
}

TEST(PassthroughNodeTable, AForgottenNodeHeldOpenStays) {
    NodeTable table(1, 1);
    const uint64_t file = table.record(1, 2, kRootNode, "file", {});
    auto pin = table.pin(file);
    EXPECT_TRUE(table.forget(file, 1).empty());
    EXPECT_TRUE(table.find(file));
    EXPECT_EQ(*table.path(file), std::vector<std::string>{"file"});
}

TEST(PassthroughNodeTable, AnUnlinkedNodeCountsNoMoreHandouts) {
    NodeTable table(1, 1);
    const uint64_t dir = table.record(1, 2, kRootNode, "dir", {});
    const uint64_t file = table.record(1, 3, dir, "file", {});
    table.unlinked(file);
    EXPECT_TRUE(table.forget(file, 1).empty());
    EXPECT_EQ(table.forget(dir, 1), std::vector<uint64_t>{dir}) << "a removed child holds its parent no more";
}

TEST(PassthroughNodeTable, NoRecordBringsANodeBackWhileWhatItsGoingUndoesRuns) {
    // brindle-server unwatches a forgotten directory there; a lookup that gave the id back in
    // between would have its new watch taken away.
    NodeTable table(1, 1);
    const uint64_t dir = table.record(1, 2, kRootNode, "dir", {});
    std::future<uint64_t> again;
    bool recordWaited = false;
    const auto dropped = table.forget(dir, 1, [&](uint64_t gone) {
        EXPECT_EQ(gone, dir);
        again = std::async(std::launch::async, [&] { return table.record(1, 2, kRootNode, "dir", {}); });
        recordWaited = again.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout;
    });
    EXPECT_EQ(dropped, std::vector<uint64_t>{dir});
    EXPECT_TRUE(recordWaited);
    EXPECT_EQ(again.get(), dir);
    EXPECT_TRUE(table.find(dir));
}

}  // namespace
}  // namespace brindle::passthrough
