#include "server/item_record.h"

#include "protocol/wire.h"

#include <fcntl.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <string_view>

namespace brindle::server {

namespace key = wire::key;

namespace {

std::string_view typeString(uint16_t mode) {
    switch (mode & S_IFMT) {
        case S_IFDIR: return wire::type::directory;
        case S_IFLNK: return wire::type::symlink;
        case S_IFIFO: return wire::type::fifo;
        case S_IFCHR: return wire::type::charDevice;
        case S_IFBLK: return wire::type::blockDevice;
        case S_IFSOCK: return wire::type::socket;
        default: return wire::type::file;
    }
}

}  // namespace

foundation::Result<struct statx> statObject(int fd, const std::string& name) {
    struct statx st {};
    const int flags = AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT | (name.empty() ? AT_EMPTY_PATH : 0);
    if (::statx(fd, name.c_str(), flags, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) {
        return foundation::Error::fromLinuxErrno(errno);
    }
    return st;
}

NodeTable::Stamp stampOf(const struct statx& st) {
    const bool born = (st.stx_mask & STATX_BTIME) != 0;
    return {static_cast<uint32_t>(st.stx_mode & S_IFMT), born ? st.stx_btime.tv_sec : 0, born ? st.stx_btime.tv_nsec : 0};
}

dev_t deviceOf(const struct statx& st) { return makedev(st.stx_dev_major, st.stx_dev_minor); }

boost::json::object itemRecord(uint64_t nodeID, uint64_t parentID, const std::string& name, const struct statx& st) {
    // File systems without birth times report the modification time instead.
    const statx_timestamp birth = (st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_mtime;
    boost::json::object record;
    record[key::nodeID] = nodeID;
    record[key::parentID] = parentID;
    record[key::name] = name;
    record[key::type] = typeString(st.stx_mode);
    record[key::mode] = static_cast<uint32_t>(st.stx_mode & 07777);
    record[key::linkCount] = st.stx_nlink;
    record[key::uid] = st.stx_uid;
    record[key::gid] = st.stx_gid;
    record[key::size] = st.stx_size;
    record[key::allocSize] = st.stx_blocks * 512;
    record[key::modifyTimeSec] = st.stx_mtime.tv_sec;
    record[key::modifyTimeNsec] = static_cast<int64_t>(st.stx_mtime.tv_nsec);
    record[key::changeTimeSec] = st.stx_ctime.tv_sec;
    record[key::changeTimeNsec] = static_cast<int64_t>(st.stx_ctime.tv_nsec);
    record[key::accessTimeSec] = st.stx_atime.tv_sec;
    record[key::accessTimeNsec] = static_cast<int64_t>(st.stx_atime.tv_nsec);
    record[key::birthTimeSec] = birth.tv_sec;
    record[key::birthTimeNsec] = static_cast<int64_t>(birth.tv_nsec);
    return record;
}

}  // namespace brindle::server
