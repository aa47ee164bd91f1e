#include "host/fuse/ops/listing_operations.h"
#include "host/fuse/ops/open_operations.h"
#include "tests/host/ops/handler_harness.h"

#include <gtest/gtest.h>

using namespace brindle::host;
using hosttest::Answer;
using hosttest::HandlerHarness;
using volumetest::itemRecord;

namespace {

constexpr uint64_t root = InodeTable::rootInode;
constexpr size_t roomy = 64 * 1024;

// Without a listing the kernel may keep, an opendir asks the server for nothing but its handle.
MountOptions uncachedListings() {
    MountOptions options = hosttest::testOptions();
    options.attrTimeout = 0;
    return options;
}

// Entry `name` as node `nodeID`, followed by `next`.
boost::json::object listed(uint64_t nodeID, const std::string& name, uint64_t next) {
    auto entry = itemRecord(nodeID, 1, name, "file");
    entry["next_cookie"] = next;
    return entry;
}

uint64_t openRoot(HandlerHarness& harness) {
    auto open = harness.request();
    fuse_file_info info{};
    onOpendir(open.request, root, &info);
    harness.scripted.serve("open_directory", {{"ok", true}, {"handle_id", 77}});
    const auto answer = open.reply->wait();
    if (!answer || answer->kind != Answer::Kind::Open) throw std::runtime_error("the opendir failed");
    return answer->info.fh;
}

struct Listed {
    hosttest::HandlerHarness::Sent sent;
    fuse_file_info info{};
};

Listed list(HandlerHarness& harness, uint64_t handle, off_t offset, bool plus, int replyResult = 0) {
    Listed listing{harness.request(replyResult)};
    listing.info.fh = handle;
    if (plus)
        onReaddirplus(listing.sent.request, root, roomy, offset, &listing.info);
    else
        onReaddir(listing.sent.request, root, roomy, offset, &listing.info);
    return listing;
}

}  // namespace

// Readdirplus hands the kernel a reference per entry; a listing that did not reach it hands none
// and keeps none of its items.
TEST(ListingHandlers, ReaddirplusCountsOnlyAListingThatReachedTheKernel) {
    HandlerHarness harness(uncachedListings());
    const uint64_t handle = openRoot(harness);
    const boost::json::array entries{listed(100, "a", 10), listed(101, "b", 20)};

    auto lost = list(harness, handle, 0, true, -ENOENT);
    harness.scripted.serve("enumerate_directory", {{"ok", true}, {"dir_items", entries}});
    ASSERT_EQ(lost.sent.reply->wait()->kind, Answer::Kind::Buffer);
    EXPECT_TRUE(hosttest::eventually([&] {
        return !harness.scripted.volume->trackedItemForNodeID(100) && !harness.scripted.volume->trackedItemForNodeID(101);
    }));
    EXPECT_EQ(harness.context->inodes.lookupCount(100), 0u);

    auto kept = list(harness, handle, 0, true);
    harness.scripted.serve("enumerate_directory", {{"ok", true}, {"dir_items", entries}});
    ASSERT_EQ(kept.sent.reply->wait()->kind, Answer::Kind::Buffer);
    EXPECT_EQ(harness.context->inodes.lookupCount(100), 1u);
    EXPECT_EQ(harness.context->inodes.lookupCount(101), 1u);
    EXPECT_NE(harness.scripted.volume->trackedItemForNodeID(101), nullptr);
}

// A directory changed through the mount while it is listed goes on being listed from where the
// reader is, without handing out an entry twice, and its end is asked for again.
TEST(ListingHandlers, AListingGoesOnWhereItWasAcrossAChange) {
    HandlerHarness harness(uncachedListings());
    const uint64_t handle = openRoot(harness);
    auto first = list(harness, handle, 0, false);
    harness.scripted.serve("enumerate_directory",
                           {{"ok", true}, {"dir_items", boost::json::array{listed(100, "a", 10), listed(101, "b", 20)}}});
    ASSERT_EQ(first.sent.reply->wait()->kind, Answer::Kind::Buffer);

    harness.scripted.volume->invalidateDirectoryEnumerationForNodeID(1);
    auto resumed = list(harness, handle, 10, false);
    const auto frame = harness.scripted.serve(
        "enumerate_directory", {{"ok", true}, {"dir_items", boost::json::array{listed(101, "b", 20)}}});
    EXPECT_EQ(frame.json.at("cookie").as_int64(), 10);
    const auto answer = resumed.sent.reply->wait();
    ASSERT_EQ(answer->kind, Answer::Kind::Buffer);
    EXPECT_NE(answer->data.find('b'), std::string::npos);
    EXPECT_EQ(answer->data.find('a'), std::string::npos);

    harness.scripted.volume->invalidateDirectoryEnumerationForNodeID(1);
    auto end = list(harness, handle, 20, false);
    EXPECT_EQ(harness.scripted.serve("enumerate_directory", {{"ok", true}, {"dir_items", boost::json::array{}}})
                  .json.at("cookie")
                  .as_int64(),
              20);
    const auto ended = end.sent.reply->wait();
    ASSERT_EQ(ended->kind, Answer::Kind::Buffer);
    EXPECT_EQ(ended->count, 0u);
}

// The listing position was the old server's: a reader is told, rather than handed entries again.
TEST(ListingHandlers, AListingAcrossAReconnectFailsWithEIO) {
    HandlerHarness harness(uncachedListings());
    const uint64_t handle = openRoot(harness);
    harness.loseConnection();
    volumetest::ScriptedVolume next;
    harness.reconnectTo(next);
    auto listing = list(harness, handle, 10, true);
    const auto answer = listing.sent.reply->wait();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->error, EIO);

    auto release = harness.request();
    fuse_file_info info{};
    info.fh = handle;
    onRelease(release.request, root, &info);
    EXPECT_EQ(release.reply->wait()->error, 0);
    EXPECT_TRUE(next.quiet());
}
