#include "host/fuse/volumes/current_volume.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace brindle;
using namespace brindle::host;
using namespace std::chrono_literals;

namespace {

using Clock = CurrentVolume::Clock;

}  // namespace

TEST(CurrentVolume, ACallWaitsForTheNewConnectionAndNoLongerThanItsBound) {
    CurrentVolume current(nullptr);
    ASSERT_NE(current.connected(std::nullopt), nullptr);
    EXPECT_TRUE(current.lose(1));
    EXPECT_FALSE(current.lose(1)) << "a loss is reported once";

    const auto began = Clock::now();
    EXPECT_EQ(current.connected(began + 300ms), nullptr);
    const auto waited = Clock::now() - began;
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, 2s);

    auto waiting = std::async(std::launch::async, [&] { return current.connected(Clock::now() + 10s); });
    std::this_thread::sleep_for(100ms);
    const auto next = current.replace(nullptr);
    const auto got = waiting.get();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->number, 2u);
    EXPECT_EQ(got, next);
    EXPECT_NE(got->directories, nullptr);
    EXPECT_FALSE(current.lose(1)) << "an earlier connection's loss says nothing about the current one";
}

TEST(CurrentVolume, TheEndOfTheMountReleasesEveryWaitingCall) {
    CurrentVolume current(nullptr);
    current.lose(1);
    std::atomic<bool> sessionEnded{false};
    current.watchEnding([&] { return sessionEnded.load(); });
    auto unbounded = std::async(std::launch::async, [&] { return current.connected(std::nullopt); });
    std::this_thread::sleep_for(50ms);
    const auto began = Clock::now();
    sessionEnded = true;
    EXPECT_EQ(unbounded.get(), nullptr);
    EXPECT_LT(Clock::now() - began, 1s);

    CurrentVolume ended(nullptr);
    ended.lose(1);
    auto waiting = std::async(std::launch::async, [&] { return ended.connected(std::nullopt); });
    std::this_thread::sleep_for(50ms);
    ended.end();
    EXPECT_EQ(waiting.get(), nullptr);
}
