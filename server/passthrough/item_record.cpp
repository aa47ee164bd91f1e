#include "server/passthrough/item_record.h"

#include <fcntl.h>
#include <sys/sysmacros.h>

#include <cerrno>

namespace brindle::passthrough {

namespace {

sdk::ItemType typeOf(uint16_t mode) {
    switch (mode & S_IFMT) {
        case S_IFDIR: return sdk::ItemType::directory;
        case S_IFLNK: return sdk::ItemType::symlink;
        case S_IFIFO: return sdk::ItemType::fifo;
        case S_IFCHR: return sdk::ItemType::charDevice;
        case S_IFBLK: return sdk::ItemType::blockDevice;
        case S_IFSOCK: return sdk::ItemType::socket;
        default: return sdk::ItemType::file;
    }
}

sdk::Time timeOf(const statx_timestamp& time) { return {time.tv_sec, static_cast<int64_t>(time.tv_nsec)}; }

}  // namespace

sdk::Result<struct statx> statObject(int fd, const std::string& name) {
    struct statx st {};
    const int flags = AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT | (name.empty() ? AT_EMPTY_PATH : 0);
    if (::statx(fd, name.c_str(), flags, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) {
        return sdk::Error::lastSystemError();
    }
    return st;
}

NodeTable::Stamp stampOf(const struct statx& st) {
    const bool born = (st.stx_mask & STATX_BTIME) != 0;
    return {static_cast<uint32_t>(st.stx_mode & S_IFMT), born ? st.stx_btime.tv_sec : 0, born ? st.stx_btime.tv_nsec : 0};
}

dev_t deviceOf(const struct statx& st) { return makedev(st.stx_dev_major, st.stx_dev_minor); }

sdk::Item itemOf(sdk::NodeId node, sdk::NodeId parent, const std::string& name, const struct statx& st) {
    sdk::Attributes attributes;
    attributes.type = typeOf(st.stx_mode);
    attributes.mode = static_cast<uint32_t>(st.stx_mode & 07777);
    attributes.linkCount = st.stx_nlink;
    attributes.uid = st.stx_uid;
    attributes.gid = st.stx_gid;
    attributes.size = st.stx_size;
    attributes.allocSize = st.stx_blocks * 512;
    attributes.modifyTime = timeOf(st.stx_mtime);
    attributes.changeTime = timeOf(st.stx_ctime);
    attributes.accessTime = timeOf(st.stx_atime);
    // File systems without birth times report the modification time instead.
    if (st.stx_mask & STATX_BTIME) attributes.birthTime = timeOf(st.stx_btime);
    return {node, attributes, parent, name};
}

}  // namespace brindle::passthrough
