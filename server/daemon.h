#pragma once

#include <string>

namespace brindle::server {

// Detaches into the background before any thread exists. The parent waits until the child calls
// `reportStarted` (and exits 0 after printing `line`) or `reportFailed` (and exits 1).
class Daemon {
public:
    // Returns in the child only; false when forking failed (the caller stays in the foreground).
    bool detach();
    void reportStarted(const std::string& line);
    void reportFailed(const std::string& message);

private:
    int pipe_ = -1;
};

}  // namespace brindle::server
