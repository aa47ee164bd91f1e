#include "platform/foundation/errno_table.h"
#include "protocol/wire.h"
#include "server/passthrough/file_system.h"
#include "server/passthrough/item_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace brindle::server {

using foundation::Error;
namespace darwin = foundation::darwin;
namespace key = wire::key;

namespace {

std::optional<Error> lastError() { return Error::fromLinuxErrno(errno); }

// A time given as two keys; UTIME_OMIT when the request leaves it out.
foundation::Result<timespec> requestedTime(const Request& request, std::string_view secKey, std::string_view nsecKey) {
    if (!request.has(secKey) && !request.has(nsecKey)) return timespec{0, UTIME_OMIT};
    auto sec = request.i64(secKey);
    if (!sec) return sec.error();
    auto nsec = request.i64(nsecKey);
    if (!nsec) return nsec.error();
    if (nsec.value() < 0 || nsec.value() > 999'999'999) {
        return Error::posix(darwin::einval, "nanoseconds out of range");
    }
    return timespec{static_cast<time_t>(sec.value()), static_cast<long>(nsec.value())};
}

}  // namespace

Reply FileSystem::getAttributes(const Request& request) {
    auto nodeID = request.u64(key::nodeID);
    if (!nodeID) return errorReply(nodeID.error());
    const auto node = nodes_.find(nodeID.value());
    if (!node) return errorReply(Error::posix(darwin::enoent, "unknown node"));
    auto st = statNode(request.connectionID, nodeID.value());
    if (!st) return errorReply(st.error());
    const std::string name = nodeID.value() == kRootNodeID ? "/" : node->name;
    return recordReply(key::itemAttrs, itemRecord(nodeID.value(), node->parentID, name, st.value()));
}

Reply FileSystem::setAttributes(const Request& request) {
    auto nodeID = request.u64(key::nodeID);
    if (!nodeID) return errorReply(nodeID.error());
    if (auto refused = refuseChange()) return errorReply(*refused);

    auto atime = requestedTime(request, key::setAccessTimeSec, key::setAccessTimeNsec);
    if (!atime) return errorReply(atime.error());
    auto mtime = requestedTime(request, key::setModifyTimeSec, key::setModifyTimeNsec);
    if (!mtime) return errorReply(mtime.error());

    // An open file is changed through its descriptor, so that one whose name is gone still can be.
    std::shared_ptr<UniqueFd> held;
    if (const auto open = openFiles_.find(request.connectionID, nodeID.value())) held = open->fd;
    UniqueFd located;
    struct statx st {};
    if (held) {
        auto current = statObject(held->get(), "");
        if (!current) return errorReply(current.error());
        st = current.value();
    } else {
        auto found = locate(nodeID.value(), O_PATH);
        if (!found) return errorReply(found.error());
        located = std::move(found.value().fd);
        st = found.value().st;
    }
    const int fd = held ? held->get() : located.get();
    const bool isLink = S_ISLNK(st.stx_mode);

    if (request.has(key::setMode)) {
        auto mode = request.u64(key::setMode);
        if (!mode) return errorReply(mode.error());
        if (isLink) return errorReply(Error::posix(darwin::enotsup, "symbolic links have no mode of their own"));
        // The descriptor path reaches the object itself, never through a link (it is not one).
        if (::chmod(descriptorPath(fd).c_str(), static_cast<mode_t>(mode.value() & 07777)) != 0) {
            return errorReply(*lastError());
        }
    }
    if (request.has(key::setUid) || request.has(key::setGid)) {
        uid_t uid = static_cast<uid_t>(-1);
        gid_t gid = static_cast<gid_t>(-1);
        if (request.has(key::setUid)) {
            auto value = request.u64(key::setUid);
            if (!value) return errorReply(value.error());
            uid = static_cast<uid_t>(value.value());
        }
        if (request.has(key::setGid)) {
            auto value = request.u64(key::setGid);
            if (!value) return errorReply(value.error());
            gid = static_cast<gid_t>(value.value());
        }
        if (::fchownat(fd, "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) return errorReply(*lastError());
    }
    if (request.has(key::setSize)) {
        auto size = request.u64(key::setSize);
        if (!size) return errorReply(size.error());
        if (size.value() > static_cast<uint64_t>(INT64_MAX)) return errorReply(Error::posix(darwin::efbig));
        if (!S_ISREG(st.stx_mode)) {
            return errorReply(Error::posix(S_ISDIR(st.stx_mode) ? darwin::eisdir : darwin::einval,
                                           "only regular files have a size to set"));
        }
        const auto open = openFiles_.find(request.connectionID, nodeID.value());
        if (open && open->writable) {
            if (::ftruncate(open->fd->get(), static_cast<off_t>(size.value())) != 0) return errorReply(*lastError());
        } else {
            auto writable = locate(nodeID.value(), O_WRONLY | O_NONBLOCK);
            if (!writable) return errorReply(writable.error());
            if (::ftruncate(writable.value().fd.get(), static_cast<off_t>(size.value())) != 0) {
                return errorReply(*lastError());
            }
        }
    }
    if (atime.value().tv_nsec != UTIME_OMIT || mtime.value().tv_nsec != UTIME_OMIT) {
        const timespec times[2] = {atime.value(), mtime.value()};
        if (::utimensat(fd, "", times, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) return errorReply(*lastError());
    }

    auto fresh = statObject(fd, "");
    if (!fresh) return errorReply(fresh.error());
    const auto node = nodes_.find(nodeID.value());
    const std::string name = nodeID.value() == kRootNodeID ? "/" : (node ? node->name : "");
    return recordReply(key::itemAttrs,
                       itemRecord(nodeID.value(), node ? node->parentID : 0, name, fresh.value()));
}

}  // namespace brindle::server
