#include "sdk/cpp/transport/daemon.h"

#include <fcntl.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace brindle::sdk {

namespace {

void writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

bool Daemon::detach() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (child > 0) {
        ::close(fds[1]);
        // The first byte says how the child started: '+' then the line to print, '-' then an error.
        std::string report;
        char buffer[512];
        ssize_t n;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) report.append(buffer, static_cast<size_t>(n));
        const bool started = !report.empty() && report[0] == '+';
        if (!report.empty()) writeAll(started ? STDOUT_FILENO : STDERR_FILENO, report.substr(1));
        std::_Exit(started ? 0 : 1);
    }
    ::close(fds[0]);
    pipe_ = fds[1];
    ::setsid();
    if (::chdir("/") != 0) return true;
    return true;
}

void Daemon::reportStarted(const std::string& line) {
    // Without NOTIFY_SOCKET (not under systemd) this does nothing.
    ::sd_notify(0, "READY=1");
    if (pipe_ < 0) return;
    writeAll(pipe_, "+" + line);
    ::close(pipe_);
    pipe_ = -1;
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) ::close(null);
    }
}

void Daemon::reportFailed(const std::string& message) {
    if (pipe_ < 0) return;
    writeAll(pipe_, "-" + message);
    ::close(pipe_);
    pipe_ = -1;
}

void Daemon::reportStopping() { ::sd_notify(0, "STOPPING=1"); }

}  // namespace brindle::sdk
