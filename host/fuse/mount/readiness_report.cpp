#include "host/fuse/mount/readiness_report.h"

#include <fcntl.h>
#include <unistd.h>

namespace brindle::host {

ReadinessReport::~ReadinessReport() {
    if (fd_ >= 0) ::close(fd_);
}

void ReadinessReport::ready() {
    if (fd_ < 0) return;
    const char ok = '0';
    (void)!::write(fd_, &ok, 1);
    ::close(fd_);
    fd_ = -1;
    (void)!::chdir("/");
    // The parent has returned to the shell; nothing is to be written to its terminal now.
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
}

}  // namespace brindle::host
