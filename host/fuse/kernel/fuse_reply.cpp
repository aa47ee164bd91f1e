#include "host/fuse/kernel/fuse_reply.h"

namespace brindle::host {

int FuseReply::entry(const fuse_entry_param& entry) { return fuse_reply_entry(req_, &entry); }

int FuseReply::create(const fuse_entry_param& entry, const fuse_file_info& info) {
    return fuse_reply_create(req_, &entry, &info);
}

int FuseReply::attributes(const struct stat& status, double timeout) { return fuse_reply_attr(req_, &status, timeout); }

int FuseReply::open(const fuse_file_info& info) { return fuse_reply_open(req_, &info); }

int FuseReply::buffer(const char* data, size_t size) { return fuse_reply_buf(req_, data, size); }

int FuseReply::written(size_t count) { return fuse_reply_write(req_, count); }

int FuseReply::statistics(const struct statvfs& status) { return fuse_reply_statfs(req_, &status); }

int FuseReply::xattrSize(size_t size) { return fuse_reply_xattr(req_, size); }

int FuseReply::linkTarget(const char* target) { return fuse_reply_readlink(req_, target); }

int FuseReply::error(int linuxErrno) { return fuse_reply_err(req_, linuxErrno); }

void FuseReply::none() { fuse_reply_none(req_); }

int FuseReply::lock(const struct flock& lock) { return fuse_reply_lock(req_, &lock); }

bool FuseReply::interrupted() const { return fuse_req_interrupted(req_) != 0; }

}  // namespace brindle::host
