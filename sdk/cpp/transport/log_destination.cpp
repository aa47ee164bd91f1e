#include "sdk/cpp/transport/log_destination.h"

#include "platform/log/sinks.h"

namespace brindle::sdk {

std::shared_ptr<logging::Sink> logDestination(bool foreground, const std::string& program) {
    if (foreground) return std::make_shared<logging::StderrSink>();
    return std::make_shared<logging::SyslogSink>(program);
}

}  // namespace brindle::sdk
