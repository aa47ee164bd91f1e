#include "sdk/cpp/transport/log_destination.h"

#include "platform/log/sinks.h"

#include <gtest/gtest.h>

namespace brindle::server {
namespace {

TEST(ServerLogDestination, DetachedServerLogsToSyslogUnderItsOwnName) {
    ServerOptions options;
    const auto sink = std::dynamic_pointer_cast<logging::SyslogSink>(logDestination(options));
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(sink->identifier(), "brindle-server");
}

TEST(ServerLogDestination, ForegroundServerLogsToStandardError) {
    ServerOptions options;
    options.foreground = true;
    EXPECT_NE(std::dynamic_pointer_cast<logging::StderrSink>(logDestination(options)), nullptr);
}

}  // namespace
}  // namespace brindle::server
