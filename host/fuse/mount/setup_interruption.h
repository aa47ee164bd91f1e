#pragma once

#include <string>

namespace brindle::host {

// Catches SIGINT, SIGTERM and SIGHUP while a mount is being set up, so that a stalled server can
// be given up on: the waits ask `caughtSignal` and nothing is mounted once it is set. The default
// dispositions return when it is destroyed, for libfuse installs its own only over those.
class SetupInterruption {
public:
    SetupInterruption();
    ~SetupInterruption();
    SetupInterruption(const SetupInterruption&) = delete;
    SetupInterruption& operator=(const SetupInterruption&) = delete;

    // The first signal caught, or 0.
    static int caughtSignal();
};

// "SIGINT", "SIGTERM", ...
std::string signalName(int signal);

}  // namespace brindle::host
