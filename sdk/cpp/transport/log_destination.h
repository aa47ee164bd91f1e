#pragma once

#include "platform/log/log.h"

#include <memory>
#include <string>

namespace brindle::sdk {

// Where a server's lines go: standard error in the foreground (systemd's journal takes it from
// there), otherwise syslog under the program's name, apart from the lines of brindle mounts.
std::shared_ptr<logging::Sink> logDestination(bool foreground, const std::string& program);

}  // namespace brindle::sdk
