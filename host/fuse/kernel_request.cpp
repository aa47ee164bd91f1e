#include "host/fuse/kernel_request.h"

#include "host/fuse/attribute_conversion.h"
#include "host/fuse/error_mapping.h"

#include <cerrno>

namespace brindle::host {

KernelRequest::KernelRequest(fuse_req_t req)
    : context_(contextOf(req)), req_(req),
      pending_(context_->deadline->track(reinterpret_cast<uint64_t>(req))) {}

bool KernelRequest::deliver(const std::function<void()>& answer) const { return pending_->deliver(answer); }

void KernelRequest::fail(int linuxErrno) const {
    deliver([&] { fuse_reply_err(req_, linuxErrno); });
}

void KernelRequest::fail(const std::optional<foundation::Error>& error) const { fail(linuxErrnoForError(error)); }

void KernelRequest::finish(const std::optional<foundation::Error>& error) const {
    if (error) return fail(error);
    deliver([&] { fuse_reply_err(req_, 0); });
}

void KernelRequest::replyAttributes(uint64_t inode, const std::optional<fskit::FSItemAttributes>& attributes,
                                    const std::optional<foundation::Error>& error) const {
    if (!attributes) return fail(error);
    deliver([&] {
        const struct stat status = statFromAttributes(*attributes, inode, context_->options.presentation);
        fuse_reply_attr(req_, &status, context_->options.attrTimeout);
    });
}

KernelRequest::ItemPtr KernelRequest::itemOrFail(fuse_ino_t inode) const {
    auto item = context_->inodes.item(inode);
    if (!item) fail(ESTALE);
    return item;
}

std::optional<fskit::FSFileName> KernelRequest::nameOrFail(const char* name) const {
    auto fileName = fskit::FSFileName::nameWithBytes(name);
    if (fileName.string()) return fileName;
    fail(EILSEQ);
    return std::nullopt;
}

const fskit::FSItemGetAttributesRequest& allAttributes() {
    static const fskit::FSItemGetAttributesRequest request(
        (fskit::FSItemAttributeInhibitKernelOffloadedIO << 1) - 1);
    return request;
}

}  // namespace brindle::host
