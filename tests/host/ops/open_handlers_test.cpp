#include "host/fuse/ops/content_operations.h"
#include "host/fuse/ops/namespace_operations.h"
#include "host/fuse/ops/open_operations.h"
#include "tests/host/ops/handler_harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <thread>

using namespace brindle::host;
using hosttest::Answer;
using hosttest::HandlerHarness;
using volumetest::itemRecord;

namespace {

constexpr uint64_t root = InodeTable::rootInode;

MountOptions withoutCloseToOpen() {
    MountOptions options = hosttest::testOptions();
    options.pageCache = PageCachePolicy::DropOnOpen;
    return options;
}

// Opens `inode` with `flags` through the handler, served by the server; the kernel's handle.
uint64_t openFile(HandlerHarness& harness, uint64_t inode, int flags) {
    auto open = harness.request();
    fuse_file_info info{};
    info.flags = flags;
    onOpen(open.request, inode, &info);
    harness.scripted.serve("open", {{"ok", true}});
    const auto answer = open.reply->wait();
    if (!answer || answer->kind != Answer::Kind::Open) throw std::runtime_error("the open failed");
    return answer->info.fh;
}

// Releases the kernel's handle; the close frame the server saw.
rpctest::Frame release(HandlerHarness& harness, uint64_t inode, uint64_t handle) {
    auto release = harness.request();
    fuse_file_info info{};
    info.fh = handle;
    onRelease(release.request, inode, &info);
    auto frame = harness.scripted.serve("close", {{"ok", true}});
    if (!release.reply->wait()) throw std::runtime_error("the release was not answered");
    return frame;
}

}  // namespace

// The kernel reached a node another client removed through a name it still caches: ESTALE makes
// it look the name up again and open what the name is now, where ENOENT would end the open.
TEST(OpenHandlers, AnOpenOfANodeTheServerNoLongerHasAnswersEstale) {
    HandlerHarness harness(withoutCloseToOpen());
    const uint64_t inode = harness.lookUp(root, "f", itemRecord(7, 1, "f", "file"));
    auto open = harness.request();
    fuse_file_info info{};
    info.flags = O_RDWR;
    onOpen(open.request, inode, &info);
    harness.scripted.serve("open", {{"ok", false}, {"errno", 2}, {"error", "node 7 has been removed"}});
    const auto answer = open.reply->wait();
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->kind, Answer::Kind::Error);
    EXPECT_EQ(answer->error, ESTALE);
}

// Each release tells the server which modes the other opens of the item still hold.
TEST(OpenHandlers, EachReleasePassesTheModesThatStayOpen) {
    HandlerHarness harness(withoutCloseToOpen());
    const uint64_t inode = harness.lookUp(root, "f", itemRecord(7, 1, "f", "file"));
    const uint64_t reader = openFile(harness, inode, O_RDONLY);
    const uint64_t writer = openFile(harness, inode, O_WRONLY);
    const uint64_t both = openFile(harness, inode, O_RDWR);
    EXPECT_NE(reader, writer);
    EXPECT_EQ(release(harness, inode, reader).json.at("keeping_modes").as_int64(), 3);
    EXPECT_EQ(release(harness, inode, both).json.at("keeping_modes").as_int64(), 2);
    EXPECT_EQ(release(harness, inode, writer).json.at("keeping_modes").as_int64(), 0);
}

// An open the kernel never got is closed on the server again, and holds nothing afterwards.
TEST(OpenHandlers, AnOpenThatDoesNotReachTheKernelIsClosedAgain) {
    HandlerHarness harness(withoutCloseToOpen());
    const uint64_t inode = harness.lookUp(root, "f", itemRecord(7, 1, "f", "file"));
    auto open = harness.request(-ENOENT);
    fuse_file_info info{};
    info.flags = O_RDWR;
    onOpen(open.request, inode, &info);
    harness.scripted.serve("open", {{"ok", true}});
    ASSERT_EQ(open.reply->wait()->kind, Answer::Kind::Open);
    EXPECT_EQ(harness.scripted.serve("close", {{"ok", true}}).json.at("keeping_modes").as_int64(), 0);
    // With no open left, the kernel's forget lets the item go.
    auto forget = harness.request();
    onForget(forget.request, inode, 1);
    EXPECT_TRUE(hosttest::eventually([&] { return harness.scripted.volume->trackedItemForNodeID(7) == nullptr; }));
}

// A create whose answer is lost closes what it opened and leaves no count and no item behind.
TEST(OpenHandlers, ACreateThatDoesNotReachTheKernelLeavesNothingBehind) {
    HandlerHarness harness(withoutCloseToOpen());
    auto create = harness.request(-ENOENT);
    fuse_file_info info{};
    info.flags = O_WRONLY | O_CREAT;
    onCreate(create.request, root, "new", 0644, &info);
    harness.scripted.serve("create_file", {{"ok", true}, {"item_attrs", itemRecord(13, 1, "new", "file")}});
    harness.scripted.serve("open", {{"ok", true}});
    ASSERT_EQ(create.reply->wait()->kind, Answer::Kind::Create);
    EXPECT_EQ(harness.scripted.serve("close", {{"ok", true}}).json.at("keeping_modes").as_int64(), 0);
    EXPECT_EQ(harness.context->inodes.lookupCount(13), 0u);
    EXPECT_TRUE(hosttest::eventually([&] { return harness.scripted.volume->trackedItemForNodeID(13) == nullptr; }));
    EXPECT_EQ(harness.context->inodes.size(), 1u);
}

// A file open for writing that outlived its connection is closed without asking the new server,
// which never had it.
TEST(OpenHandlers, AnOpenOfAnEarlierConnectionEndsWithoutTheNewServer) {
    HandlerHarness harness(withoutCloseToOpen());
    const uint64_t inode = harness.lookUp(root, "f", itemRecord(7, 1, "f", "file"));
    const uint64_t writer = openFile(harness, inode, O_WRONLY);
    harness.loseConnection();
    volumetest::ScriptedVolume next;
    harness.reconnectTo(next);
    auto release = harness.request();
    fuse_file_info info{};
    info.fh = writer;
    onRelease(release.request, inode, &info);
    const auto answer = release.reply->wait();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->error, 0);
    EXPECT_TRUE(next.quiet());
}

// After a reconnect a release counts only the opens the new server has: a writer left from the
// earlier connection must not keep the new server's open of a reader alive.
TEST(OpenHandlers, AfterAReconnectAReleaseKeepsOnlyTheNewServersModes) {
    HandlerHarness harness(withoutCloseToOpen());
    const uint64_t inode = harness.lookUp(root, "f", itemRecord(7, 1, "f", "file"));
    const uint64_t reader = openFile(harness, inode, O_RDONLY);
    openFile(harness, inode, O_WRONLY);
    harness.loseConnection();
    volumetest::ScriptedVolume next;
    harness.reconnectTo(next);
    auto read = harness.request();
    fuse_file_info info{};
    info.fh = reader;
    // The read waits for the new server to find the file again, which this thread plays.
    std::thread reading([&] { onRead(read.request, inode, 4, 0, &info); });
    next.serve("lookup", {{"ok", true}, {"lookup_item", itemRecord(70, 1, "f", "file")}});
    next.serve("open", {{"ok", true}});
    next.serve("read", {{"ok", true}}, "data");
    reading.join();
    ASSERT_EQ(read.reply->wait()->data, "data");

    auto release = harness.request();
    onRelease(release.request, inode, &info);
    EXPECT_EQ(next.serve("close", {{"ok", true}}).json.at("keeping_modes").as_int64(), 0);
    ASSERT_TRUE(release.reply->wait());
}

// A file created without write permission for its owner gets its mode when its last open is
// flushed, and close(2) hears when that fails; a flush with nothing to apply asks nothing. Across
// a reconnect the mode goes to the new server.
TEST(OpenHandlers, AFlushAppliesTheFinalModeAndReportsItsFailure) {
    HandlerHarness harness(withoutCloseToOpen());
    const auto create = [&](const std::string& name, uint64_t node) {
        auto created = harness.request();
        fuse_file_info info{};
        info.flags = O_WRONLY | O_CREAT;
        onCreate(created.request, root, name.c_str(), 0444, &info);
        harness.scripted.serve("create_file", {{"ok", true}, {"item_attrs", itemRecord(node, 1, name, "file", 0644)}});
        harness.scripted.serve("open", {{"ok", true}});
        return created.reply->wait()->info.fh;
    };
    const auto flush = [&](uint64_t inode, uint64_t handle) {
        auto flushed = harness.request();
        fuse_file_info info{};
        info.fh = handle;
        onFlush(flushed.request, inode, &info);
        return flushed;
    };

    const uint64_t plain = openFile(harness, harness.lookUp(root, "f", itemRecord(7, 1, "f", "file")), O_WRONLY);
    EXPECT_EQ(flush(7, plain).reply->wait()->error, 0);
    EXPECT_TRUE(harness.scripted.quiet());

    const uint64_t refused = create("a", 13);
    auto first = flush(13, refused);
    EXPECT_EQ(harness.scripted.serve("set_attributes", {{"ok", false}, {"errno", 1}, {"error", "no"}}).json.at("set_mode"),
              0444);
    EXPECT_EQ(first.reply->wait()->error, EPERM);

    const uint64_t carried = create("b", 14);
    harness.loseConnection();
    volumetest::ScriptedVolume next;
    harness.reconnectTo(next);
    std::optional<HandlerHarness::Sent> second;
    std::thread flushing([&] { second = flush(14, carried); });
    next.serve("lookup", {{"ok", true}, {"lookup_item", itemRecord(140, 1, "b", "file", 0644)}});
    flushing.join();
    EXPECT_EQ(next.serve("set_attributes", {{"ok", true}, {"item_attrs", itemRecord(140, 1, "b", "file", 0444)}})
                  .json.at("set_mode"),
              0444);
    EXPECT_EQ(second->reply->wait()->error, 0);
}

// Where the create opens, the handler sends no open of its own, and a create whose answer is lost
// still closes the open the server made.
TEST(OpenHandlers, ACreateThatOpensSendsNoOpenAndItsLostAnswerClosesIt) {
    volumetest::VolumeOptions advertising;
    advertising.extensions = {"create_opens"};
    HandlerHarness harness(withoutCloseToOpen(), advertising);
    auto create = harness.request(-ENOENT);
    fuse_file_info info{};
    info.flags = O_WRONLY | O_CREAT;
    onCreate(create.request, root, "new", 0644, &info);
    const auto sent = harness.scripted.serve(
        "create_file", {{"ok", true}, {"item_attrs", itemRecord(13, 1, "new", "file")}, {"opened", true}});
    EXPECT_EQ(sent.json.at("open_modes").as_int64(), 2);
    ASSERT_EQ(create.reply->wait()->kind, Answer::Kind::Create);
    EXPECT_EQ(harness.scripted.serve("close", {{"ok", true}}).json.at("keeping_modes").as_int64(), 0);
    EXPECT_EQ(harness.context->inodes.lookupCount(13), 0u);
}

// Where the open brings the directory's record, an opendir asks no attributes beside it; a second
// opendir shares the volume's open, which brings nothing, and asks for them as before.
TEST(OpenHandlers, AnOpendirTakesTheAttributesItsOpenBroughtAndAsksOnlyWhenItBroughtNone) {
    volumetest::VolumeOptions advertising;
    advertising.extensions = {"open_directory_record"};
    HandlerHarness harness(hosttest::testOptions(), advertising);
    const uint64_t inode = harness.lookUp(root, "d", itemRecord(8, 1, "d", "directory"));
    auto first = harness.request();
    fuse_file_info info{};
    onOpendir(first.request, inode, &info);
    harness.scripted.serve("open_directory",
                           {{"ok", true}, {"handle_id", 5}, {"item_attrs", itemRecord(8, 1, "d", "directory")}});
    ASSERT_EQ(first.reply->wait()->kind, Answer::Kind::Open);
    EXPECT_TRUE(harness.scripted.quiet()) << "an attribute fetch went out beside an open that brought them";

    auto second = harness.request();
    onOpendir(second.request, inode, &info);
    harness.scripted.serve("get_attributes", {{"ok", true}, {"item_attrs", itemRecord(8, 1, "d", "directory")}});
    ASSERT_EQ(second.reply->wait()->kind, Answer::Kind::Open);
}
