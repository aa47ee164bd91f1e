#include "platform/dispatch/queues.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

using namespace dispatch;

namespace {

// Waits until every work item queued so far on `queue` has run.
void drain(SerialQueue& queue) {
    std::promise<void> reached;
    queue.async([&] { reached.set_value(); });
    reached.get_future().wait();
}

}  // namespace

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
    drain(queue);
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped);
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

TEST(QueuesDeathTest, ExitWaitsForACompletionThatWaitsOnASerialQueue) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A completion still running at exit that queues work on a serial queue and waits for it.
    EXPECT_EXIT(
        {
            auto queue = std::make_shared<SerialQueue>("test.exit");
            ConcurrentQueue::userInitiated().async([queue] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                drain(*queue);
            });
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
