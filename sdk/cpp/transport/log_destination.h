#pragma once

#include "platform/log/log.h"
#include "server/command_line.h"

#include <memory>

namespace brindle::server {

// Where the server's lines go: standard error in the foreground (systemd's journal takes it from
// there), otherwise syslog under "brindle-server", apart from the lines of brindle mounts.
std::shared_ptr<logging::Sink> logDestination(const ServerOptions& options);

}  // namespace brindle::server
