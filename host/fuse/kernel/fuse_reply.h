#pragma once

#include "host/fuse/requests/kernel_reply.h"

#include <fuse_lowlevel.h>

namespace brindle::host {

// The answers of one request of a mounted session, given to libfuse.
class FuseReply final : public KernelReply {
public:
    explicit FuseReply(fuse_req_t req) : req_(req) {}

    int entry(const fuse_entry_param& entry) override;
    int create(const fuse_entry_param& entry, const fuse_file_info& info) override;
    int attributes(const struct stat& status, double timeout) override;
    int open(const fuse_file_info& info) override;
    int buffer(const char* data, size_t size) override;
    int written(size_t count) override;
    int statistics(const struct statvfs& status) override;
    int xattrSize(size_t size) override;
    int linkTarget(const char* target) override;
    int lock(const struct flock& lock) override;
    int error(int linuxErrno) override;
    void none() override;
    bool interrupted() const override;

private:
    const fuse_req_t req_;
};

}  // namespace brindle::host
