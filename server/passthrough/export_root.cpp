#include "server/passthrough/export_root.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace brindle::passthrough {

using sdk::Errno;
using sdk::Error;

namespace {

constexpr uint64_t kResolveFlags = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
// The longest path one openat2 call resolves, its terminating NUL aside.
constexpr size_t kMaxPathPiece = PATH_MAX - 1;

sdk::Result<UniqueFd> openat2Beneath(int directoryFD, const std::string& path, int flags) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC | O_NOFOLLOW);
    how.resolve = kResolveFlags;
    for (;;) {
        const long fd = ::syscall(SYS_openat2, directoryFD, path.c_str(), &how, sizeof how);
        if (fd >= 0) return UniqueFd(static_cast<int>(fd));
        if (errno == EINTR || errno == EAGAIN) continue;
        const int saved = errno;
        if (saved == ELOOP || saved == EXDEV) {
            return Error(Errno::eloop, "refusing to follow a symbolic link");
        }
        return Error::fromLinux(saved);
    }
}

}  // namespace

sdk::Result<ExportRoot> ExportRoot::open(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Error::lastSystemError("cannot open export " + directory);
    UniqueFd owned(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Error::lastSystemError();
    return ExportRoot(std::move(owned), st);
}

sdk::Result<UniqueFd> ExportRoot::openBeneath(const std::vector<std::string>& names, int flags) const {
    // A path longer than the kernel takes in one call is walked in pieces, each resolved beneath the
    // directory the piece before it reached. Names never hold "/" or "..", so every piece only descends.
    UniqueFd held;
    int from = fd_.get();
    std::string piece = ".";
    for (size_t i = 0; i < names.size(); ++i) {
        if (piece.size() + 1 + names[i].size() > kMaxPathPiece) {
            auto reached = openat2Beneath(from, piece, O_PATH | O_DIRECTORY);
            if (!reached) return reached.error();
            held = std::move(reached.value());
            from = held.get();
            piece.resize(1);  // back to "."
        }
        piece += '/';
        piece += names[i];
    }
    return openat2Beneath(from, piece, flags);
}

sdk::Result<UniqueFd> ExportRoot::openChild(int directoryFD, const std::string& name, int flags) {
    return openat2Beneath(directoryFD, name, flags);
}


}  // namespace brindle::passthrough
