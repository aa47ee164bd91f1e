#include "host/fuse/ops/lock_operations.h"
#include "host/fuse/ops/open_operations.h"
#include "tests/host/ops/handler_harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <chrono>

using namespace brindle::host;
using namespace std::chrono_literals;
using hosttest::Answer;
using hosttest::HandlerHarness;
using volumetest::itemRecord;

namespace {

constexpr uint64_t root = InodeTable::rootInode;

volumetest::VolumeOptions advertisingLocks() {
    volumetest::VolumeOptions options;
    options.extensions = {"locks"};
    return options;
}

boost::json::object conflict() { return {{"ok", false}, {"errno", 35}, {"error", "another owner holds it"}}; }

}  // namespace

// A lock that has to wait holds no thread of the session: the handler returns before the server
// answers, a conflict is asked again later, and once the caller gives up the answer is EINTR and
// nothing more is asked.
TEST(LockHandlers, AWaitingLockHoldsNoThreadAndEndsWithEintrOnceItsCallerGivesUp) {
    HandlerHarness harness(hosttest::testOptions(), advertisingLocks());
    const uint64_t inode = harness.lookUp(root, "f", itemRecord(7, 1, "f", "file"));
    auto waiting = harness.request();
    fuse_file_info info{};
    info.lock_owner = 42;
    const auto started = std::chrono::steady_clock::now();
    onFlock(waiting.request, inode, &info, LOCK_EX);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s) << "the handler waited in the session's thread";
    const auto first = harness.scripted.serve("set_lock", conflict());
    EXPECT_EQ(first.json.at("lock_type"), "write");
    EXPECT_EQ(first.json.at("lock_owner"), 42);
    EXPECT_EQ(harness.scripted.serve("set_lock", conflict()).json.at("lock_style"), "flock");
    EXPECT_FALSE(waiting.reply->wait(0ms));

    waiting.reply->interrupt();
    std::optional<Answer> answer;
    // A try sent before the caller gave up is answered first.
    for (int tries = 0; tries < 20 && !(answer = waiting.reply->wait(20ms)); ++tries) {
        if (!harness.scripted.quiet()) harness.scripted.serve("set_lock", conflict());
    }
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->kind, Answer::Kind::Error);
    EXPECT_EQ(answer->error, EINTR);
    EXPECT_TRUE(harness.scripted.quiet());
}

// Only a flush names the lock owner of a closing process, so where the kernel sends this mount
// its locks every open of a file asks for one.
TEST(LockHandlers, WhereTheKernelSendsLocksAnOpenAsksForItsFlush) {
    MountOptions options = hosttest::testOptions();
    options.pageCache = PageCachePolicy::DropOnOpen;
    HandlerHarness harness(options, advertisingLocks());
    harness.context->kernelSendsLocks = true;
    const uint64_t inode = harness.lookUp(root, "f", itemRecord(7, 1, "f", "file"));
    auto open = harness.request();
    fuse_file_info info{};
    info.flags = O_RDWR;
    onOpen(open.request, inode, &info);
    harness.scripted.serve("open", {{"ok", true}});
    const auto answer = open.reply->wait();
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->kind, Answer::Kind::Open);
    EXPECT_EQ(answer->info.noflush, 0u);
}
