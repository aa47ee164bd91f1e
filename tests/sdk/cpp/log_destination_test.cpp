#include "sdk/cpp/transport/log_destination.h"

#include "platform/log/sinks.h"

#include <gtest/gtest.h>

namespace brindle::sdk {
namespace {

TEST(SdkLogDestination, DetachedServerLogsToSyslogUnderItsOwnName) {
    const auto sink = std::dynamic_pointer_cast<logging::SyslogSink>(logDestination(false, "brindle-server"));
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(sink->identifier(), "brindle-server");
}

TEST(SdkLogDestination, ForegroundServerLogsToStandardError) {
    EXPECT_NE(std::dynamic_pointer_cast<logging::StderrSink>(logDestination(true, "memoryfs")), nullptr);
}

}  // namespace
}  // namespace brindle::sdk
