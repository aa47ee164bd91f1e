#include "platform/foundation/errno_table.h"
#include "protocol/wire.h"
#include "server/passthrough/file_system.h"
#include "server/passthrough/item_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace brindle::server {

using foundation::Error;
namespace darwin = foundation::darwin;
namespace key = wire::key;

namespace {

// FSKit's open modes.
constexpr uint64_t kOpenWrite = 2;
// A read reply must fit the client's 16 MiB frame limit together with its JSON.
constexpr uint64_t kMaxReadLength = 16u * 1024u * 1024u - 64u * 1024u;

Error lastError() { return Error::fromLinuxErrno(errno); }

}  // namespace

foundation::Result<std::shared_ptr<UniqueFd>> FileSystem::fileDescriptor(const Request& request, uint64_t nodeID,
                                                                        bool forWriting) const {
    if (const auto open = openFiles_.find(request.connectionID, nodeID); open && (open->writable || !forWriting)) {
        return open->fd;
    }
    auto located = locate(nodeID, (forWriting ? O_WRONLY : O_RDONLY) | O_NONBLOCK);
    if (!located) return located.error();
    if (!S_ISREG(located.value().st.stx_mode)) {
        return Error::posix(S_ISDIR(located.value().st.stx_mode) ? darwin::eisdir : darwin::enotsup,
                            "not a regular file");
    }
    return std::make_shared<UniqueFd>(std::move(located.value().fd));
}

Reply FileSystem::open(const Request& request) {
    auto nodeID = request.u64(key::nodeID);
    if (!nodeID) return errorReply(nodeID.error());
    auto modes = request.u64(key::openModes);
    if (!modes) return errorReply(modes.error());
    const bool writing = (modes.value() & kOpenWrite) != 0;
    if (writing) {
        if (auto refused = refuseChange()) return errorReply(*refused);
    }
    if (const auto open = openFiles_.find(request.connectionID, nodeID.value()); open && (open->writable || !writing)) {
        return okReply();
    }

    // FIFOs must not block the worker; only regular files are served.
    auto located = locate(nodeID.value(), (writing ? O_RDWR : O_RDONLY) | O_NONBLOCK);
    if (!located) return errorReply(located.error());
    const auto& st = located.value().st;
    if (!S_ISREG(st.stx_mode)) {
        return errorReply(Error::posix(S_ISDIR(st.stx_mode) ? darwin::eisdir : darwin::enotsup, "not a regular file"));
    }
    const int fd = located.value().fd.get();
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) return errorReply(lastError());
    // Pinned before it is kept, so that a removal in between cannot drop the node from under it.
    if (!nodes_.pin(nodeID.value())) return errorReply(Error::posix(darwin::enoent, "node has been removed"));
    OpenFiles::Entry entry{std::make_shared<UniqueFd>(std::move(located.value().fd)), writing};
    const auto put = openFiles_.put(request.connectionID, nodeID.value(), std::move(entry));
    if (put != OpenFiles::Put::added) nodes_.unpin(nodeID.value());
    if (put == OpenFiles::Put::full) return errorReply(Error::posix(darwin::emfile, "too many open files"));
    return okReply();
}

Reply FileSystem::close(const Request& request) {
    auto nodeID = request.u64(key::nodeID);
    if (!nodeID) return errorReply(nodeID.error());
    auto keeping = request.has(key::keepingModes) ? request.u64(key::keepingModes) : foundation::Result<uint64_t>(0);
    if (!keeping) return errorReply(keeping.error());
    if (keeping.value() == 0 && openFiles_.remove(request.connectionID, nodeID.value())) nodes_.unpin(nodeID.value());
    return okReply();
}

Reply FileSystem::read(const Request& request) {
    auto nodeID = request.u64(key::nodeID);
    if (!nodeID) return errorReply(nodeID.error());
    auto offset = request.u64(key::offset);
    if (!offset) return errorReply(offset.error());
    auto length = request.u64(key::length);
    if (!length) return errorReply(length.error());
    if (offset.value() > static_cast<uint64_t>(INT64_MAX)) return errorReply(Error::posix(darwin::einval, "bad offset"));
    auto fd = fileDescriptor(request, nodeID.value(), false);
    if (!fd) return errorReply(fd.error());

    Reply reply = okReply();
    reply.payload.resize(static_cast<size_t>(std::min(length.value(), kMaxReadLength)));
    size_t done = 0;
    while (done < reply.payload.size()) {
        const ssize_t n = ::pread(fd.value()->get(), reply.payload.data() + done, reply.payload.size() - done,
                                  static_cast<off_t>(offset.value() + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errorReply(lastError());
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    reply.payload.resize(done);
    return reply;
}

Reply FileSystem::write(const Request& request) {
    auto nodeID = request.u64(key::nodeID);
    if (!nodeID) return errorReply(nodeID.error());
    auto offset = request.u64(key::offset);
    if (!offset) return errorReply(offset.error());
    if (auto refused = refuseChange()) return errorReply(*refused);
    if (offset.value() > static_cast<uint64_t>(INT64_MAX)) return errorReply(Error::posix(darwin::einval, "bad offset"));
    size_t size = request.payload.size();
    if (request.has(key::length)) {
        auto length = request.u64(key::length);
        if (!length) return errorReply(length.error());
        size = static_cast<size_t>(std::min<uint64_t>(length.value(), size));
    }
    auto fd = fileDescriptor(request, nodeID.value(), true);
    if (!fd) return errorReply(fd.error());

    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd.value()->get(), request.payload.data() + done, size - done,
                                   static_cast<off_t>(offset.value() + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (done > 0) break;  // a short write is answered with what was written
            return errorReply(lastError());
        }
        done += static_cast<size_t>(n);
    }
    Reply reply = okReply();
    reply.object[key::writeSize] = static_cast<uint64_t>(done);
    return reply;
}

}  // namespace brindle::server
