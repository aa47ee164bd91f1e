#include "host/fuse/requests/kernel_request.h"

#include "host/fuse/translation/attribute_conversion.h"
#include "host/fuse/translation/error_mapping.h"
#include "host/fuse/inodes/inode_recovery.h"

#include <cerrno>

namespace brindle::host {

KernelRequest::KernelRequest(fuse_req_t req)
    : context_(contextOf(req)), req_(req),
      pending_(context_->deadline->track(reinterpret_cast<uint64_t>(req))) {
    if (context_->options.requestTimeout.count() > 0)
        until_ = std::chrono::steady_clock::now() + context_->options.requestTimeout;
}

const VolumeGeneration& KernelRequest::generation() const {
    if (!generation_) generation_ = context_->volume.latest();
    return *generation_;
}

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
    if (!generation_) generation_ = context_->volume.connected(until_);
    if (!generation_) {
        fail(EIO);
        return nullptr;
    }
    auto recovered = recoverItem(*context_, *generation_, inode, until_);
    if (!recovered.item) fail(recovered.linuxErrno);
    return recovered.item;
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
