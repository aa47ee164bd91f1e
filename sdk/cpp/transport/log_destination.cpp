#include "sdk/cpp/transport/log_destination.h"

#include "platform/log/sinks.h"

namespace brindle::server {

std::shared_ptr<logging::Sink> logDestination(const ServerOptions& options) {
    if (options.foreground) return std::make_shared<logging::StderrSink>();
    return std::make_shared<logging::SyslogSink>("brindle-server");
}

}  // namespace brindle::server
