#include "platform/dispatch/queues.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

using namespace dispatch;

TEST(SerialQueue, RunsWorkInOrderWithoutOverlap) {
    SerialQueue queue("test.serial");
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 200; ++i) {
        queue.async([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    queue.sync([] {});
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, KnowsWhenItIsCurrentAndSyncRunsInlineThere) {
    SerialQueue queue("test.current");
    SerialQueue other("test.other");
    EXPECT_FALSE(queue.isCurrent());
    bool inner = false;
    bool otherCurrent = true;
    queue.sync([&] {
        EXPECT_TRUE(queue.isCurrent());
        otherCurrent = other.isCurrent();
        queue.sync([&] { inner = true; });  // would deadlock if it did not run inline
    });
    EXPECT_TRUE(inner);
    EXPECT_FALSE(otherCurrent);
}

TEST(ConcurrentQueue, RunsAtLeastFourWorkItemsAtOnce) {
    auto& queue = ConcurrentQueue::userInitiated();
    std::atomic<int> arrived{0};
    std::promise<void> allArrived;
    std::shared_future<void> gate = allArrived.get_future().share();
    std::vector<std::future<void>> done;
    for (int i = 0; i < 4; ++i) {
        auto finished = std::make_shared<std::promise<void>>();
        done.push_back(finished->get_future());
        queue.async([&, finished] {
            if (arrived.fetch_add(1) + 1 == 4) allArrived.set_value();
            gate.wait();  // only returns if all four run at the same time
            finished->set_value();
        });
    }
    for (auto& f : done) EXPECT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(Queues, HandedOffWorkRunsAfterTheHandingItemAndFromAnyThread) {
    SerialQueue state("test.state");
    SerialQueue writer("test.writer");
    auto& callbacks = ConcurrentQueue::userInitiated();
    std::atomic<bool> handingItemReturned{false};
    std::promise<bool> writerSaw;
    std::promise<bool> callbackSaw;
    state.async([&] {
        writer.handOff([&] { writerSaw.set_value(handingItemReturned.load()); });
        callbacks.handOff([&] { callbackSaw.set_value(handingItemReturned.load()); });
        handingItemReturned = true;
    });
    auto writerFuture = writerSaw.get_future();
    auto callbackFuture = callbackSaw.get_future();
    ASSERT_EQ(writerFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(callbackFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(writerFuture.get());
    EXPECT_TRUE(callbackFuture.get());

    // From a thread outside the pool there is no current item to wait for.
    std::promise<void> ran;
    writer.handOff([&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(Queues, HandedOffWorkKeepsTheQueuesOrder) {
    SerialQueue state("test.order.state");
    SerialQueue writer("test.order.writer");
    std::vector<int> written;
    for (int i = 0; i < 100; ++i) {
        state.async([&, i] { writer.handOff([&, i] { written.push_back(i); }); });
    }
    state.sync([] {});
    writer.sync([] {});
    ASSERT_EQ(written.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(written[i], i);
}

TEST(QueuesDeathTest, ExitWaitsForACompletionThatWaitsOnASerialQueue) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A completion still running at exit that hands its last step to a serial queue and waits,
    // as a client's last handle does when it disconnects.
    EXPECT_EXIT(
        {
            auto queue = std::make_shared<SerialQueue>("test.exit");
            ConcurrentQueue::userInitiated().async([queue] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                queue->sync([] {});
            });
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
