#include "server/passthrough/file_system.h"
#include "server/passthrough/item_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace brindle::passthrough {

using sdk::Errno;

Result<std::shared_ptr<UniqueFd>> FileSystem::fileDescriptor(const Call& call, NodeId node, bool forWriting) const {
    if (const auto open = call.openFileAs<OpenedFile>(node); open && (open->writable || !forWriting)) {
        // Shares the open file's life: a close meanwhile leaves the descriptor open for this request.
        return std::shared_ptr<UniqueFd>(open, &open->fd);
    }
    auto located = locate(node, (forWriting ? O_WRONLY : O_RDONLY) | O_NONBLOCK);
    if (!located) return located.error();
    if (!S_ISREG(located.value().st.stx_mode)) {
        return Error(S_ISDIR(located.value().st.stx_mode) ? Errno::eisdir : Errno::enotsup, "not a regular file");
    }
    return std::make_shared<UniqueFd>(std::move(located.value().fd));
}

Result<std::shared_ptr<sdk::OpenFile>> FileSystem::open(const Call&, NodeId node, uint32_t modes) {
    const bool writing = (modes & sdk::kOpenWrite) != 0;
    // FIFOs must not block the worker; only regular files are served.
    auto located = locate(node, (writing ? O_RDWR : O_RDONLY) | O_NONBLOCK);
    if (!located) return located.error();
    const auto& st = located.value().st;
    if (!S_ISREG(st.stx_mode)) {
        return Error(S_ISDIR(st.stx_mode) ? Errno::eisdir : Errno::enotsup, "not a regular file");
    }
    const int fd = located.value().fd.get();
    // Of the flags F_SETFL sets, the open asked only for O_NONBLOCK: clearing them all clears it.
    if (::fcntl(fd, F_SETFL, 0) != 0) return Error::lastSystemError();
    // Pinned while it is open, so that a removal cannot drop the node from under it.
    auto pin = nodes_.pin(node);
    if (!pin) return Error(Errno::enoent, "node has been removed");
    return std::shared_ptr<sdk::OpenFile>(
        std::make_shared<OpenedFile>(std::move(located.value().fd), writing, std::move(*pin)));
}

Result<size_t> FileSystem::read(const Call& call, NodeId node, uint64_t offset, std::span<char> buffer) {
    auto fd = fileDescriptor(call, node, false);
    if (!fd) return fd.error();
    size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n = ::pread(fd.value()->get(), buffer.data() + done, buffer.size() - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Error::lastSystemError();
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

Result<size_t> FileSystem::write(const Call& call, NodeId node, uint64_t offset, std::string_view data) {
    auto fd = fileDescriptor(call, node, true);
    if (!fd) return fd.error();
    auto own = ownObjectChange(call, node, true, false);
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(fd.value()->get(), data.data() + done, data.size() - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (done > 0) break;  // a short write is answered with what was written
            return Error::lastSystemError();
        }
        done += static_cast<size_t>(n);
    }
    if (!own.notes.empty()) {
        if (auto st = statObject(fd.value()->get(), ""); st) own.made(st.value().stx_ctime);
    }
    return done;
}

// O_APPEND rather than a lock of ours: the kernel puts each write at the end as one step against
// every writer of the file, also processes on this machine that never pass through the server.
// The descriptor is the append's own, since an O_APPEND descriptor would move positional writes to
// the end too, and its position afterwards tells where the bytes went.
Result<sdk::Appended> FileSystem::append(const Call& call, NodeId node, std::string_view data) {
    Result<UniqueFd> appender = Error(Errno::enoent, "no open file");
    if (const auto open = call.openFileAs<OpenedFile>(node); open && open->writable) {
        // The open file itself, which its name may have left.
        const std::string own = "/proc/self/fd/" + std::to_string(open->fd.get());
        const int fd = ::open(own.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd >= 0) appender = UniqueFd(fd);
    }
    if (!appender) {
        auto located = locate(node, O_WRONLY | O_APPEND | O_NONBLOCK);
        if (!located) return located.error();
        if (!S_ISREG(located.value().st.stx_mode)) {
            return Error(S_ISDIR(located.value().st.stx_mode) ? Errno::eisdir : Errno::enotsup, "not a regular file");
        }
        appender = std::move(located.value().fd);
    }
    const int fd = appender.value().get();
    auto own = ownObjectChange(call, node, true, false);
    ssize_t n;
    // One write only: a second would land after whatever another writer appended meanwhile, so
    // a short write is answered as one.
    do {
        n = ::write(fd, data.data(), data.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Error::lastSystemError();
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    struct stat st {};
    if (end < n || ::fstat(fd, &st) != 0) return Error::lastSystemError();
    own.made(statx_timestamp{st.st_ctim.tv_sec, static_cast<uint32_t>(st.st_ctim.tv_nsec), 0});
    const auto offset = static_cast<uint64_t>(end - n);
    return sdk::Appended{static_cast<size_t>(n), offset, std::max<uint64_t>(static_cast<uint64_t>(st.st_size), offset + static_cast<uint64_t>(n))};
}

}  // namespace brindle::passthrough
