#pragma once

#include <fuse_lowlevel.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstddef>

namespace brindle::host {

// The answers a handler can give one kernel request. Each sends one answer and gives 0, or a
// negative errno when it did not reach the kernel (the request was interrupted meanwhile); an
// entry whose reference did not reach it must not be counted.
class KernelReply {
public:
    virtual ~KernelReply() = default;

    virtual int entry(const fuse_entry_param& entry) = 0;
    virtual int create(const fuse_entry_param& entry, const fuse_file_info& info) = 0;
    virtual int attributes(const struct stat& status, double timeout) = 0;
    virtual int open(const fuse_file_info& info) = 0;
    // File data, a listing, an extended attribute's value or the list of their names.
    virtual int buffer(const char* data, size_t size) = 0;
    virtual int written(size_t count) = 0;
    virtual int statistics(const struct statvfs& status) = 0;
    virtual int xattrSize(size_t size) = 0;
    virtual int linkTarget(const char* target) = 0;
    // The lock that refuses the one asked about (F_UNLCK: none does).
    virtual int lock(const struct flock& lock) = 0;
    // 0 answers success without data.
    virtual int error(int linuxErrno) = 0;
    // For a forget, which the kernel expects no answer to.
    virtual void none() = 0;
    // Whether the kernel asked to interrupt the request; asked only while it is unanswered, since
    // an answer ends the request.
    virtual bool interrupted() const = 0;
};

}  // namespace brindle::host
