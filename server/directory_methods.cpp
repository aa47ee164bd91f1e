#include "module/rpc/wire.h"
#include "platform/foundation/errno_table.h"
#include "server/file_system.h"
#include "server/item_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace brindle::server {

using foundation::Error;
namespace darwin = foundation::darwin;
namespace key = wire::key;

namespace {

// The entries a listing returns when the client asks for none in particular, and at most.
constexpr uint64_t kDefaultEntries = 128;
constexpr uint64_t kMaxEntries = 4096;

}  // namespace

Reply FileSystem::openDirectory(const Request& request) {
    auto nodeID = request.u64(key::nodeID);
    if (!nodeID) return errorReply(nodeID.error());
    auto directory = locateDirectory(nodeID.value());
    if (!directory) return errorReply(directory.error());
    const auto handle = directories_.open(nodeID.value());
    if (!handle) return errorReply(Error::posix(darwin::emfile, "too many open directories"));
    Reply reply = okReply();
    reply.object[key::handleID] = *handle;
    return reply;
}

// Cookies are the directory's own positions (the kernel's d_off): a listing resumes from any of
// them, in the same order, also after entries were added or removed meanwhile.
Reply FileSystem::enumerateDirectory(const Request& request) {
    auto parentID = request.u64(key::parentID);
    if (!parentID) return errorReply(parentID.error());
    const auto handle = request.has(key::handleID) ? request.u64(key::handleID) : foundation::Result<uint64_t>(0);
    if (!handle) return errorReply(handle.error());
    const auto cookie = request.has(key::cookie) ? request.u64(key::cookie) : foundation::Result<uint64_t>(0);
    if (!cookie) return errorReply(cookie.error());
    auto maxEntries = request.has(key::maxEntries) ? request.u64(key::maxEntries) : foundation::Result<uint64_t>(0);
    if (!maxEntries) return errorReply(maxEntries.error());
    const uint64_t limit =
        maxEntries.value() == 0 ? kDefaultEntries : std::min<uint64_t>(maxEntries.value(), kMaxEntries);
    if (handle.value() != 0 && directories_.nodeOf(handle.value()) != parentID.value()) {
        return errorReply(Error::posix(darwin::ebadf, "unknown directory handle"));
    }
    if (cookie.value() > static_cast<uint64_t>(INT64_MAX)) return errorReply(Error::posix(darwin::einval, "bad cookie"));

    auto located = locate(parentID.value(), O_RDONLY | O_DIRECTORY);
    if (!located) return errorReply(located.error());
    const int fd = located.value().fd.get();
    if (::lseek(fd, static_cast<off_t>(cookie.value()), SEEK_SET) < 0) return errorReply(Error::fromLinuxErrno(errno));

    boost::json::array items;
    alignas(8) std::array<char, 32768> buffer;
    while (items.size() < limit) {
        const long n = ::syscall(SYS_getdents64, fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errorReply(Error::fromLinuxErrno(errno));
        }
        if (n == 0) break;
        for (long offset = 0; offset < n && items.size() < limit;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer.data() + offset);
            offset += entry->d_reclen;
            const std::string name(entry->d_name);
            if (name == "." || name == "..") continue;
            auto record = recordChild(fd, parentID.value(), name);
            if (!record) continue;  // removed since the directory was read
            record.value()[key::nextCookie] = static_cast<uint64_t>(entry->d_off);
            items.push_back(std::move(record.value()));
        }
        if (items.size() >= limit) break;
    }
    Reply reply = okReply();
    reply.object[key::dirItems] = std::move(items);
    return reply;
}

Reply FileSystem::closeDirectory(const Request& request) {
    auto nodeID = request.u64(key::nodeID);
    if (!nodeID) return errorReply(nodeID.error());
    auto handle = request.u64(key::handleID);
    if (!handle) return errorReply(handle.error());
    if (!directories_.close(handle.value(), nodeID.value())) {
        return errorReply(Error::posix(darwin::ebadf, "unknown directory handle"));
    }
    Reply reply = okReply();
    reply.object[key::handleID] = uint64_t{0};
    return reply;
}

}  // namespace brindle::server
