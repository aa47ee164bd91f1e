#include "platform/foundation/errno_table.h"
#include "platform/foundation/utf8.h"
#include "platform/log/log.h"
#include "protocol/wire.h"
#include "server/passthrough/file_system.h"
#include "server/passthrough/item_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

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
    // Pinned so that the node outlives a removal of its directory while the handle is open.
    if (!nodes_.pin(nodeID.value())) return errorReply(Error::posix(darwin::enoent, "node has been removed"));
    const auto handle = directories_.open(request.connectionID, nodeID.value(), std::move(directory.value()));
    if (!handle) {
        nodes_.unpin(nodeID.value());
        return errorReply(Error::posix(darwin::emfile, "too many open directories"));
    }
    Reply reply = okReply();
    reply.object[key::handleID] = *handle;
    return reply;
}

namespace {

// A cookie is a listing's generation (upper 32 bits) and the position of the next name in it.
uint64_t cookieFor(uint32_t generation, size_t position) { return (uint64_t{generation} << 32) | position; }
constexpr uint64_t kPositionMask = 0xffffffffu;

// Every name in the directory but "." and "..", in the order the file system lists them. Names that
// are not UTF-8 are left out: no frame may carry them, and none could name them back to the server.
foundation::Result<DirectoryHandles::Names> readNames(int fd, uint64_t directoryID) {
    auto names = std::make_shared<PackedNames>();
    size_t leftOut = 0;
    alignas(8) std::array<char, 32768> buffer;
    for (;;) {
        const long n = ::syscall(SYS_getdents64, fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return Error::fromLinuxErrno(errno);
        }
        if (n == 0) break;
        for (long offset = 0; offset < n;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer.data() + offset);
            offset += entry->d_reclen;
            const std::string_view name(entry->d_name);
            if (name == "." || name == "..") continue;
            if (!foundation::isValidUTF8(name)) {
                ++leftOut;
                continue;
            }
            names->add(name);
        }
    }
    if (leftOut > 0) {
        logging::info("orvel: server left {} entries out of the listing of node {}: their names are not UTF-8",
                      leftOut, directoryID);
    }
    names->shrink();
    return DirectoryHandles::Names(std::move(names));
}

}  // namespace

// A listing from cookie 0 takes the directory's names once; later calls page through that
// list, skipping names removed since. Entries added meanwhile appear in the next listing. A
// listing let go meanwhile is taken afresh and paged on from the same position, which lists
// nothing twice as long as the directory did not change. Without a handle every call reads the
// names afresh and the cookie is a plain position.
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
    if (handle.value() != 0 && directories_.nodeOf(request.connectionID, handle.value()) != parentID.value()) {
        return errorReply(Error::posix(darwin::ebadf, "unknown directory handle"));
    }
    const uint64_t position = handle.value() != 0 ? cookie.value() & kPositionMask : cookie.value();
    if (handle.value() == 0 && position > kPositionMask) {
        return errorReply(Error::posix(darwin::einval, "bad cookie"));
    }

    auto located = locate(parentID.value(), O_RDONLY | O_DIRECTORY);
    if (!located) return errorReply(located.error());
    const int fd = located.value().fd.get();

    uint32_t generation = 0;
    DirectoryHandles::Names names;
    if (handle.value() != 0 && cookie.value() != 0) {
        generation = static_cast<uint32_t>(cookie.value() >> 32);
        names = directories_.listing(handle.value(), generation);
    }
    if (!names) {
        auto read = readNames(fd, parentID.value());
        if (!read) return errorReply(read.error());
        names = std::move(read.value());
        if (handle.value() != 0) {
            const auto begun = directories_.beginListing(handle.value(), names);
            if (!begun) return errorReply(Error::posix(darwin::ebadf, "unknown directory handle"));
            generation = *begun;
        }
    }

    boost::json::array items;
    for (size_t index = position; index < names->size() && items.size() < limit; ++index) {
        auto record = recordChild(fd, parentID.value(), std::string((*names)[index]));
        if (!record) continue;  // removed since the listing began
        record.value().nextCookie = cookieFor(generation, index + 1);
        items.push_back(wire::encodeItemRecord(record.value()));
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
    if (!directories_.close(request.connectionID, handle.value(), nodeID.value())) {
        return errorReply(Error::posix(darwin::ebadf, "unknown directory handle"));
    }
    nodes_.unpin(nodeID.value());
    Reply reply = okReply();
    reply.object[key::handleID] = uint64_t{0};
    return reply;
}

}  // namespace brindle::server
