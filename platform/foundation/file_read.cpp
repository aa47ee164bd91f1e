#include "platform/foundation/file_read.h"

#include "platform/foundation/errno_table.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace foundation {
namespace {

Error readError(const URL& url, int linuxErrno) {
    const int code = darwinErrnoFromLinux(linuxErrno);
    return Error(ErrorDomain::FileRead, code,
                 fmt::format("The file \"{}\" couldn't be read: {}.", url.path(), darwinErrnoText(code)));
}

}  // namespace

Result<std::string> readWholeFile(const URL& url) {
    const int fd = ::open(url.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return readError(url, errno);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        const int cause = S_ISDIR(info.st_mode) ? EISDIR : errno;
        ::close(fd);
        return readError(url, cause);
    }
    std::string contents;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int cause = errno;
            ::close(fd);
            return readError(url, cause);
        }
        if (n == 0) break;
        contents.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    return contents;
}

}  // namespace foundation
