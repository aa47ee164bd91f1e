#include "server/passthrough/file_system.h"
#include "server/passthrough/item_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brindle::passthrough {

using sdk::Errno;

namespace {

timespec timeOrOmit(const std::optional<sdk::Time>& time) {
    if (!time) return timespec{0, UTIME_OMIT};
    return timespec{static_cast<time_t>(time->seconds), static_cast<long>(time->nanoseconds)};
}

// The birth time a client is shown: the modification time where the file system keeps none.
bool isShownBirthTime(const struct statx& st, const sdk::Time& time) {
    const statx_timestamp& shown = (st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_mtime;
    return shown.tv_sec == time.seconds && int64_t{shown.tv_nsec} == time.nanoseconds;
}

}  // namespace

Result<Item> FileSystem::getAttributes(const Call& call, NodeId node) {
    const auto found = nodes_.find(node);
    if (!found) return Error(Errno::enoent, "unknown node");
    auto st = statNode(call, node);
    if (!st) return st.error();
    return itemOf(node, found->parentID, node == kRootNode ? "/" : found->name, st.value());
}

Result<Item> FileSystem::setAttributes(const Call& call, NodeId node, const sdk::AttributeChanges& changes) {
    // An open file is changed through its descriptor, so that one whose name is gone still can be.
    const auto open = call.openFileAs<OpenedFile>(node);
    UniqueFd located;
    struct statx st {};
    if (open) {
        auto current = statObject(open->fd.get(), "");
        if (!current) return current.error();
        st = current.value();
    } else {
        auto found = locate(node, O_PATH);
        if (!found) return found.error();
        located = std::move(found.value().fd);
        st = found.value().st;
    }
    const int fd = open ? open->fd.get() : located.get();
    auto own = ownObjectChange(call, node, changes.size.has_value(),
                               changes.mode || changes.uid || changes.gid || changes.accessTime || changes.modifyTime);
    const bool isLink = S_ISLNK(st.stx_mode);

    // Linux has no call that sets a birth time. Refused before anything changes, so that the
    // client knows none of the request took effect; the time already shown counts as no change.
    if (changes.birthTime && !isShownBirthTime(st, *changes.birthTime)) {
        return Error(Errno::enotsup, "this file system cannot set a birth time");
    }

    if (changes.mode) {
        if (isLink) return Error(Errno::enotsup, "symbolic links have no mode of their own");
        // The descriptor path reaches the object itself, never through a link (it is not one).
        if (::chmod(descriptorPath(fd).c_str(), static_cast<mode_t>(*changes.mode)) != 0) {
            return Error::lastSystemError();
        }
    }
    if (changes.uid || changes.gid) {
        const uid_t uid = changes.uid ? static_cast<uid_t>(*changes.uid) : static_cast<uid_t>(-1);
        const gid_t gid = changes.gid ? static_cast<gid_t>(*changes.gid) : static_cast<gid_t>(-1);
        if (::fchownat(fd, "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) return Error::lastSystemError();
    }
    if (changes.size) {
        if (!S_ISREG(st.stx_mode)) {
            return Error(S_ISDIR(st.stx_mode) ? Errno::eisdir : Errno::einval, "only regular files have a size to set");
        }
        if (open && open->writable) {
            if (::ftruncate(open->fd.get(), static_cast<off_t>(*changes.size)) != 0) return Error::lastSystemError();
        } else {
            auto writable = locate(node, O_WRONLY | O_NONBLOCK);
            if (!writable) return writable.error();
            if (::ftruncate(writable.value().fd.get(), static_cast<off_t>(*changes.size)) != 0) {
                return Error::lastSystemError();
            }
        }
    }
    if (changes.accessTime || changes.modifyTime) {
        const timespec times[2] = {timeOrOmit(changes.accessTime), timeOrOmit(changes.modifyTime)};
        if (::utimensat(fd, "", times, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) return Error::lastSystemError();
    }

    auto fresh = statObject(fd, "");
    if (!fresh) return fresh.error();
    own.made(fresh.value().stx_ctime);
    const auto found = nodes_.find(node);
    const std::string name = node == kRootNode ? "/" : (found ? found->name : "");
    return itemOf(node, found ? found->parentID : 0, name, fresh.value());
}

}  // namespace brindle::passthrough
