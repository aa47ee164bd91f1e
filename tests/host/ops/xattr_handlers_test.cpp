#include "host/fuse/ops/attribute_operations.h"
#include "host/fuse/ops/xattr_operations.h"
#include "tests/host/ops/handler_harness.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace brindle::host;
using hosttest::Answer;
using hosttest::HandlerHarness;
using volumetest::itemRecord;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t root = InodeTable::rootInode;

volumetest::VolumeOptions withXattrs() {
    volumetest::VolumeOptions options;
    options.namedattr = true;
    return options;
}

}  // namespace

// A call made while the connection is being replaced waits for the new one, then finds its inode
// again on the new server: the extended-attribute calls as well as the others.
TEST(XattrHandlers, ACallDuringAReconnectWaitsForTheNewConnection) {
    HandlerHarness harness(hosttest::testOptions(), withXattrs());
    const uint64_t inode = harness.lookUp(root, "f", itemRecord(7, 1, "f", "file"));
    harness.loseConnection();

    auto get = harness.request();
    auto getattr = harness.request();
    auto called = std::async(std::launch::async, [&] {
        onGetxattr(get.request, inode, "user.colour", 0);
        onGetattr(getattr.request, inode, nullptr);
    });
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(get.reply->count(), 0u) << "answered before the reconnect: error " << get.reply->wait()->error;

    volumetest::ScriptedVolume next(withXattrs());
    harness.reconnectTo(next);
    next.serve("lookup", {{"ok", true}, {"lookup_item", itemRecord(70, 1, "f", "file")}});
    next.serve("get_xattr", {{"ok", true}}, "blue");
    next.serve("get_attributes", {{"ok", true}, {"item_attrs", itemRecord(70, 1, "f", "file", 0644, 3)}});
    called.get();
    const auto size = get.reply->wait();
    ASSERT_EQ(size->kind, Answer::Kind::XattrSize);
    EXPECT_EQ(size->count, 4u);
    const auto attributes = getattr.reply->wait();
    ASSERT_EQ(attributes->kind, Answer::Kind::Attributes);
    EXPECT_EQ(attributes->entry.attr.st_ino, inode);
    EXPECT_EQ(attributes->entry.attr.st_size, 3);
}

// Past the request's bound without a connection, the call fails with EIO.
TEST(XattrHandlers, ACallWithoutAConnectionWithinItsBoundFailsWithEIO) {
    MountOptions options = hosttest::testOptions();
    options.requestTimeout = 300ms;
    HandlerHarness harness(options, withXattrs());
    const uint64_t inode = harness.lookUp(root, "f", itemRecord(7, 1, "f", "file"));
    harness.loseConnection();
    auto list = harness.request();
    const auto began = std::chrono::steady_clock::now();
    onListxattr(list.request, inode, 0);
    const auto answer = list.reply->wait();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->error, EIO);
    EXPECT_GE(std::chrono::steady_clock::now() - began, 250ms);
}
