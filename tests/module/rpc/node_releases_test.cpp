#include "module/rpc/NodeReleases.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace brindle {
namespace {

using namespace std::chrono_literals;

// What the releases sent, as (node, count) pairs, in order.
struct Sent {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::pair<uint64_t, uint64_t>> forgets;
    size_t batches = 0;

    NodeReleases::Send sender() {
        return [this](std::vector<uint64_t> nodes, std::vector<uint64_t> counts) {
            std::lock_guard lock(mutex);
            for (size_t i = 0; i < nodes.size(); ++i) forgets.emplace_back(nodes[i], counts[i]);
            ++batches;
            arrived.notify_all();
        };
    }
    bool waitFor(size_t count, std::chrono::milliseconds bound = 5s) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, bound, [&] { return forgets.size() >= count; });
    }
};

TEST(NodeReleases, ForgetsWithTheCountHandedOutAndOnlyWhatWasHandedOut) {
    Sent sent;
    NodeReleases releases(sent.sender(), 50ms, 100);
    releases.handedOut(5);
    releases.handedOut(5);
    releases.handedOut(6);
    releases.released(5);
    releases.released(7);  // never handed out
    ASSERT_TRUE(sent.waitFor(1));
    releases.released(5);  // already forgotten, nothing handed out since
    releases.handedOut(6);
    releases.released(6);
    ASSERT_TRUE(sent.waitFor(2));
    std::this_thread::sleep_for(150ms);
    std::lock_guard lock(sent.mutex);
    EXPECT_EQ(sent.forgets, (std::vector<std::pair<uint64_t, uint64_t>>{{5, 2}, {6, 2}}));
}

TEST(NodeReleases, ANodeHeldAgainKeepsItsWholeCount) {
    Sent sent;
    std::atomic<bool> held{true};
    NodeReleases releases(sent.sender(), 30ms, 100);
    releases.setHeld([&](uint64_t node) { return node == 8 && held.load(); });
    releases.handedOut(8);
    releases.handedOut(9);
    releases.released(8);
    releases.released(9);
    ASSERT_TRUE(sent.waitFor(1));
    // The reply that handed it out again came in between: its count stays with the node.
    releases.handedOut(8);
    held = false;
    releases.released(8);
    ASSERT_TRUE(sent.waitFor(2));
    std::lock_guard lock(sent.mutex);
    EXPECT_EQ(sent.forgets, (std::vector<std::pair<uint64_t, uint64_t>>{{9, 1}, {8, 2}}));
}

TEST(NodeReleases, AFullBatchGoesBeforeTheDelayAndTheRestWaits) {
    Sent sent;
    NodeReleases releases(sent.sender(), 60s, 3);
    for (uint64_t node = 10; node < 13; ++node) {
        releases.handedOut(node);
        releases.released(node);
    }
    ASSERT_TRUE(sent.waitFor(3, 2s));
    releases.handedOut(13);
    releases.released(13);
    std::this_thread::sleep_for(200ms);
    std::lock_guard lock(sent.mutex);
    EXPECT_EQ(sent.forgets.size(), 3u) << "the fourth waits for its delay";
    EXPECT_EQ(sent.batches, 1u);
}

TEST(NodeReleases, HeldIsAskedWithoutTheCallersLock) {
    // The host releases nodes under its inode table's lock, which `held` takes too.
    Sent sent;
    std::mutex tableLock;
    NodeReleases releases(sent.sender(), 10ms, 1);
    releases.setHeld([&](uint64_t) {
        std::lock_guard lock(tableLock);
        return false;
    });
    for (uint64_t node = 1; node <= 20; ++node) {
        std::lock_guard lock(tableLock);
        releases.handedOut(node);
        releases.released(node);
    }
    EXPECT_TRUE(sent.waitFor(20));
}

}  // namespace
}  // namespace brindle
