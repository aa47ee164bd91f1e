#pragma once

#include <string>

namespace brindle::sdk {

// Tells whoever waits for the server how its start went. Detached, the parent waits until the
// child calls `reportStarted` (and exits 0 after printing `line`) or `reportFailed` (and exits 1).
// In the foreground under systemd (Type=notify), the service manager hears that it is ready and,
// later, that it stops.
class Daemon {
public:
    // Detaches into the background before any thread exists. Returns in the child only; false
    // when forking failed (the caller stays in the foreground).
    bool detach();
    void reportStarted(const std::string& line);
    void reportFailed(const std::string& message);
    void reportStopping();

private:
    int pipe_ = -1;
};

}  // namespace brindle::sdk
