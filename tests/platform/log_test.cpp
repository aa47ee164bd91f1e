#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

TEST(Log, LinesReachTheSinkWithTheirLevel) {
    testsupport::LogCapture capture;
    logging::info("orvel: value={}", 7);
    logging::error("orvel: failed error={}", "x");
    ASSERT_EQ(capture.sink().lines().size(), 2u);
    EXPECT_TRUE(capture.sink().containsAt(logging::Level::Default, "orvel: value=7"));
    EXPECT_TRUE(capture.sink().containsAt(logging::Level::Error, "orvel: failed error=x"));
}

TEST(Log, DebugLinesOnlyWhenEnabled) {
    testsupport::LogCapture capture;
    logging::setDebugEnabled(false);
    logging::debug("orvel: hidden");
    logging::setDebugEnabled(true);
    logging::debug("orvel: shown");
    EXPECT_FALSE(capture.sink().contains("hidden"));
    EXPECT_TRUE(capture.sink().containsAt(logging::Level::Debug, "orvel: shown"));
}
