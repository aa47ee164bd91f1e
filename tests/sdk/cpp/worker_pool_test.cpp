#include "sdk/cpp/transport/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

namespace brindle::sdk {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One connection's flood of slow requests fills the queue; a request of another connection posted
// after all of them starts as soon as a thread is free, not after the whole flood.
TEST(WorkerPoolTest, AnotherOwnersTaskStartsAheadOfAFloodQueuedBeforeIt) {
    std::atomic<int> floodDone{0};
    std::promise<Clock::time_point> otherStarted;
    Clock::time_point posted;
    {
        WorkerPool pool(2);
        for (int i = 0; i < 40; ++i) {
            pool.post(1, [&floodDone] {
                std::this_thread::sleep_for(20ms);
                ++floodDone;
            });
        }
        posted = Clock::now();
        pool.post(2, [&otherStarted] { otherStarted.set_value(Clock::now()); });
        const auto waited = otherStarted.get_future().get() - posted;
        EXPECT_LT(waited, 150ms) << "waited " << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()
                                 << " ms behind the other owner's queue";
    }
    EXPECT_EQ(floodDone, 40) << "the pool ran every queued task before it ended";
}

}  // namespace
}  // namespace brindle::sdk
