#include "platform/foundation/file_read.h"

#include "platform/foundation/errno_table.h"

#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace foundation {
namespace {

Error readError(const URL& url, int linuxErrno) {
    const int code = darwinErrnoFromLinux(linuxErrno);
    return Error(ErrorDomain::FileRead, code,
                 fmt::format("The file \"{}\" couldn't be read: {}.", url.path(), darwinErrnoText(code)));
}

// Closes the descriptor it holds, whichever way the read ends.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

Result<std::string> readOpened(const URL& url, const Descriptor& fd) {
    std::string contents;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return readError(url, errno);
        }
        if (n == 0) break;
        contents.append(chunk, static_cast<size_t>(n));
    }
    return contents;
}

std::string kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "not a regular file";
}

std::string userNamed(uid_t uid) {
    const passwd* entry = ::getpwuid(uid);
    return entry != nullptr ? fmt::format("{} (uid {})", entry->pw_name, uid) : fmt::format("uid {}", uid);
}

Error refusal(int linuxErrno, std::string message) {
    return Error::posix(darwinErrnoFromLinux(linuxErrno), std::move(message));
}

}  // namespace

Result<std::string> readWholeFile(const URL& url) {
    const Descriptor fd(::open(url.path().c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return readError(url, errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return readError(url, errno);
    if (S_ISDIR(info.st_mode)) return readError(url, EISDIR);
    return readOpened(url, fd);
}

Result<std::string> readPrivateFile(const URL& url) {
    // O_NONBLOCK: a FIFO put at the path must be refused, not waited on.
    const Descriptor fd(::open(url.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
        if (errno == ELOOP)
            return refusal(ELOOP, "it is a symbolic link, which is not followed to a file that holds a secret; "
                                  "name the file itself");
        return readError(url, errno);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return readError(url, errno);
    if (S_ISDIR(info.st_mode)) return readError(url, EISDIR);
    if (!S_ISREG(info.st_mode)) return refusal(EINVAL, "it is " + kindOf(info.st_mode) + ", not a regular file");
    const uid_t caller = ::geteuid();
    if (info.st_uid != caller && info.st_uid != 0) {
        return refusal(EPERM, fmt::format("it belongs to {}, not to you ({}) or root, so its owner chooses the "
                                          "server you talk to; use a file of your own",
                                          userNamed(info.st_uid), userNamed(caller)));
    }
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        return refusal(EACCES, fmt::format("group or others have access to it (mode {:04o}), and it holds a "
                                           "secret: chmod 600 {}",
                                           info.st_mode & 07777, url.path()));
    }
    return readOpened(url, fd);
}

}  // namespace foundation
