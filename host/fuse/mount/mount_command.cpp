#include "host/fuse/mount/mount_command.h"

#include "host/fuse/mount/mount_run.h"
#include "host/fuse/mount/readiness_report.h"
#include "host/fuse/translation/error_text.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ostream>

namespace brindle::host {

using foundation::Error;

namespace {

// In the parent: waits for the child's word that the mount is ready. A signal meant to stop the
// command goes on to the child, which then mounts nothing (or unmounts again), and the command fails
// once the child is gone. The signals are blocked and read from `signals`.
int awaitChild(pid_t child, int readEnd, int signals) {
    for (;;) {
        pollfd watched[2] = {{readEnd, POLLIN, 0}, {signals, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (watched[1].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                ::kill(child, static_cast<int>(info.ssi_signo));
                break;
            }
        }
        if (watched[0].revents & (POLLIN | POLLHUP)) {
            char status = 0;
            const ssize_t got = ::read(readEnd, &status, 1);
            if (got < 0 && errno == EINTR) continue;
            if (got == 1 && status == '0') return 0;
            break;
        }
    }
    int childStatus = 0;
    while (::waitpid(child, &childStatus, 0) < 0 && errno == EINTR) {
    }
    return 1;
}

// Said once the mount runs in the background: syslog drops every line without a word when
// nothing listens, and a mount that failed has said why on standard error already.
void warnWhenTheLogIsLost(std::ostream& err) {
    struct stat logSocket {};
    if (::stat("/dev/log", &logSocket) != 0 || !S_ISSOCK(logSocket.st_mode)) {
        err << "brindle: no syslog daemon listens on /dev/log, so the mount's log is lost; run with -f to "
               "keep it on standard error\n";
    }
}

// An automount point of systemd's (x-systemd.automount) is one brindle is meant to mount on.
constexpr long autofsMagic = 0x0187;

std::optional<std::string> mountPointProblem(const std::string& mountPoint) {
    struct statx status {};
    if (::statx(AT_FDCWD, mountPoint.c_str(), AT_NO_AUTOMOUNT, STATX_TYPE, &status) != 0)
        return errorText(Error::fromLinuxErrno(errno));
    if (!S_ISDIR(status.stx_mode)) return errorText(Error::fromLinuxErrno(ENOTDIR));
    // A second mount would hide the first, which then goes on unseen until both are unmounted.
    struct statfs fileSystem {};
    if ((status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) &&
        ::statfs(mountPoint.c_str(), &fileSystem) == 0 && fileSystem.f_type != autofsMagic)
        return std::string("already a mount point; unmount it first");
    return std::nullopt;
}


}  // namespace

int runMount(const CommandLine& line, std::ostream& err) {
    if (const auto problem = mountPointProblem(line.mountPoint)) {
        err << "brindle: mount failed: mount point " << line.mountPoint << ": " << *problem << "\n";
        return 1;
    }
    // A server that goes away must show up as a failed call, not as a signal.
    std::signal(SIGPIPE, SIG_IGN);

    if (!line.foreground) {
        // Blocked before the fork, so that no stop signal slips between the fork and the parent's
        // watch; the child unblocks them once its own handlers are in place.
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signal);
        sigset_t previous;
        ::sigprocmask(SIG_BLOCK, &stopSignals, &previous);
        // Forked before any thread exists: the module's queues start their threads on first use.
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            err << "brindle: mount failed: cannot create a pipe: " << errorText(Error::fromLinuxErrno(errno)) << "\n";
            return 1;
        }
        const pid_t child = ::fork();
        if (child < 0) {
            err << "brindle: mount failed: cannot fork: " << errorText(Error::fromLinuxErrno(errno)) << "\n";
            return 1;
        }
        if (child > 0) {
            ::close(fds[1]);
            const int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
            const int status = awaitChild(child, fds[0], signals);
            ::close(fds[0]);
            if (signals >= 0) ::close(signals);
            if (status == 0) warnWhenTheLogIsLost(err);
            return status;
        }
        ::close(fds[0]);
        ::setsid();
        ReadinessReport report(fds[1]);
        return runMountedSession(line, err, report, &previous);
    }
    ReadinessReport report(-1);
    return runMountedSession(line, err, report, nullptr);
}

}  // namespace brindle::host
