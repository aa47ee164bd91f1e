#include "host/fuse/ops/namespace_operations.h"
#include "tests/host/ops/handler_harness.h"

#include <gtest/gtest.h>

#include <thread>

using namespace brindle::host;
using hosttest::Answer;
using hosttest::HandlerHarness;
using volumetest::itemRecord;

namespace {

constexpr uint64_t root = InodeTable::rootInode;

}  // namespace

// The kernel's lookup count follows the entries that reached it: a reply that did not counts
// nothing and lets the item go, and the last forget hands it back to the volume.
TEST(NamespaceHandlers, OnlyEntriesThatReachTheKernelAreCounted) {
    HandlerHarness harness;
    auto lost = harness.request(-ENOENT);
    onLookup(lost.request, root, "f");
    harness.scripted.serve("lookup", {{"ok", true}, {"lookup_item", itemRecord(7, 1, "f", "file")}});
    ASSERT_TRUE(lost.reply->wait());
    // The count is taken back once the reply failed, and the item goes with it.
    EXPECT_TRUE(hosttest::eventually([&] { return harness.scripted.volume->trackedItemForNodeID(7) == nullptr; }));
    EXPECT_EQ(harness.context->inodes.lookupCount(7), 0u);

    EXPECT_EQ(harness.lookUp(root, "f", itemRecord(7, 1, "f", "file")), 7u);
    EXPECT_EQ(harness.lookUp(root, "f", itemRecord(7, 1, "f", "file")), 7u);
    EXPECT_EQ(harness.context->inodes.lookupCount(7), 2u);

    auto forget = harness.request();
    onForget(forget.request, 7, 1);
    ASSERT_EQ(forget.reply->wait()->kind, Answer::Kind::None);
    EXPECT_NE(harness.scripted.volume->trackedItemForNodeID(7), nullptr);
    auto last = harness.request();
    onForget(last.request, 7, 1);
    EXPECT_EQ(harness.context->inodes.lookupCount(7), 0u);
    EXPECT_EQ(harness.scripted.volume->trackedItemForNodeID(7), nullptr);
}

// The server's root keeps inode 1, and a node whose id is 1 takes the root's id.
TEST(NamespaceHandlers, TheRootNodeIdsAreSwappedInEntries) {
    volumetest::ScriptedVolume scripted;
    auto context = std::make_shared<OperationContext>(scripted.volume, 40, hosttest::testOptions(), std::chrono::seconds(5));
    auto reply = std::make_shared<hosttest::RecordingReply>();
    onLookup(KernelRequest(context, reply, Caller{}), root, "one");
    scripted.serve("lookup", {{"ok", true}, {"lookup_item", itemRecord(1, 40, "one", "file")}});
    const auto answer = reply->wait();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->entry.ino, 40u);
    EXPECT_EQ(answer->entry.attr.st_ino, 40u);
    context->deadline->close();
}

// A rename moves the name the inode table knows the item by, so a later removal under the new
// name needs no lookup, and the old name leads nowhere.
TEST(NamespaceHandlers, RenameAndUnlinkKeepTheInodeTableInStep) {
    HandlerHarness harness;
    const uint64_t inode = harness.lookUp(root, "a", itemRecord(7, 1, "a", "file"));
    auto rename = harness.request();
    onRename(rename.request, root, "a", root, "b", 0);
    const auto renamed = harness.scripted.serve("rename", {{"ok", true}});
    EXPECT_EQ(renamed.json.at("name").as_string(), "a");
    EXPECT_EQ(renamed.json.at("new_name").as_string(), "b");
    ASSERT_EQ(rename.reply->wait()->error, 0);
    auto& inodes = harness.context->inodes;
    EXPECT_EQ(inodes.itemNamed(root, "a"), nullptr);
    ASSERT_NE(inodes.itemNamed(root, "b"), nullptr);
    EXPECT_EQ(inodes.inodeOfItem(*inodes.itemNamed(root, "b")), inode);

    auto unlink = harness.request();
    onUnlink(unlink.request, root, "b");
    const auto removed = harness.scripted.serve("remove_file", {{"ok", true}});
    EXPECT_EQ(removed.json.at("name").as_string(), "b");
    ASSERT_EQ(unlink.reply->wait()->error, 0);
    // The kernel still holds the inode until it forgets it.
    EXPECT_EQ(inodes.lookupCount(inode), 1u);
    auto forget = harness.request();
    onForget(forget.request, inode, 1);
    EXPECT_EQ(harness.scripted.volume->trackedItemForNodeID(7), nullptr);
}

// An item looked up only to be removed, or refused for its type, is not kept afterwards.
TEST(NamespaceHandlers, ItemsLookedUpForARemovalAreLetGo) {
    HandlerHarness harness;
    auto unlink = harness.request();
    onUnlink(unlink.request, root, "gone");
    harness.scripted.serve("lookup", {{"ok", true}, {"lookup_item", itemRecord(8, 1, "gone", "file")}});
    harness.scripted.serve("remove_file", {{"ok", true}});
    ASSERT_EQ(unlink.reply->wait()->error, 0);
    EXPECT_EQ(harness.scripted.volume->trackedItemForNodeID(8), nullptr);

    auto rmdir = harness.request();
    onRmdir(rmdir.request, root, "file");
    harness.scripted.serve("lookup", {{"ok", true}, {"lookup_item", itemRecord(9, 1, "file", "file")}});
    ASSERT_EQ(rmdir.reply->wait()->error, ENOTDIR);
    EXPECT_TRUE(harness.scripted.quiet());
    EXPECT_EQ(harness.scripted.volume->trackedItemForNodeID(9), nullptr);
    EXPECT_EQ(harness.context->inodes.size(), 1u);
}

// A create that the kernel never hears of leaves neither a count nor an item behind.
TEST(NamespaceHandlers, ACreatedEntryThatDoesNotReachTheKernelIsNotCounted) {
    HandlerHarness harness;
    auto mkdir = harness.request(-ENOENT);
    onMkdir(mkdir.request, root, "d", 0755);
    harness.scripted.serve("create_directory", {{"ok", true}, {"item_attrs", itemRecord(12, 1, "d", "directory", 0755)}});
    ASSERT_EQ(mkdir.reply->wait()->kind, Answer::Kind::Entry);
    EXPECT_TRUE(hosttest::eventually([&] { return harness.scripted.volume->trackedItemForNodeID(12) == nullptr; }));
    EXPECT_EQ(harness.context->inodes.lookupCount(12), 0u);
}

// A server that stops answering costs a caller the request's bound, then EIO, once: the answer that
// comes late reaches nobody and hands the kernel no reference.
TEST(NamespaceHandlers, AnUnansweredLookupFailsOnceAndTheLateAnswerCountsNothing) {
    MountOptions options = hosttest::testOptions();
    options.requestTimeout = std::chrono::milliseconds(200);
    HandlerHarness harness(options);
    auto lookup = harness.request();
    onLookup(lookup.request, root, "slow");
    const auto frame = harness.scripted.expect("lookup");
    const auto answer = lookup.reply->wait();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->error, EIO);

    harness.scripted.peer->replyTo(frame, {{"ok", true}, {"lookup_item", itemRecord(7, 1, "slow", "file")}});
    // Time for the late answer to arrive and be dropped.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(harness.scripted.volume->trackedItemForNodeID(7), nullptr);
    EXPECT_EQ(lookup.reply->count(), 1u);
    EXPECT_EQ(harness.context->inodes.lookupCount(7), 0u);
}

// A server whose lookup record leaves attributes out gets asked for them before the kernel is
// answered: the placeholders would otherwise be what stat shows, renewed by every lookup.
TEST(NamespaceHandlers, ALookupWithoutAttributesFetchesThemBeforeAnswering) {
    HandlerHarness harness;
    auto lookup = harness.request();
    onLookup(lookup.request, root, "f");
    harness.scripted.serve("lookup", {{"ok", true},
                                      {"lookup_item", {{"node_id", 7}, {"parent_id", 1}, {"name", "f"}, {"type", "file"}}}});
    harness.scripted.serve("get_attributes", {{"ok", true}, {"item_attrs", itemRecord(7, 1, "f", "file", 0600, 5)}});
    const auto answer = lookup.reply->wait();
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->kind, Answer::Kind::Entry);
    EXPECT_EQ(answer->entry.attr.st_mode & 07777, 0600u);
    EXPECT_EQ(answer->entry.attr.st_size, 5);
    EXPECT_EQ(answer->entry.attr.st_uid, 501u);
}
