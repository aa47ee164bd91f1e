#include "host/fuse/requests/kernel_request.h"

#include "host/fuse/inodes/inode_recovery.h"
#include "host/fuse/translation/attribute_conversion.h"
#include "host/fuse/translation/error_mapping.h"

#include <cerrno>
#include <stdexcept>

namespace brindle::host {

KernelRequest::KernelRequest(std::shared_ptr<OperationContext> context, std::shared_ptr<KernelReply> reply,
                             Caller caller)
    : context_(std::move(context)), reply_(std::move(reply)), caller_(caller),
      pending_(context_->deadline->track([reply = reply_] { reply->error(EIO); })) {
    if (context_->options.requestTimeout.count() > 0)
        until_ = std::chrono::steady_clock::now() + context_->options.requestTimeout;
}

const VolumeGeneration* KernelRequest::generationOrFail() const {
    if (!generation_) generation_ = context_->volume.connected(until_);
    if (!generation_) fail(EIO);
    return generation_.get();
}

const VolumeGeneration& KernelRequest::generation() const {
    // Picking one here would let the order of the calls decide which connection a request uses.
    if (!generation_) throw std::logic_error("a request's generation was asked for before it was chosen");
    return *generation_;
}

bool KernelRequest::deliver(const std::function<void(KernelReply& reply)>& answer) const {
    return pending_->deliver([&] { answer(*reply_); });
}

bool KernelRequest::givenUp() const {
    bool interrupted = false;
    return !pending_->whileUnanswered([&] { interrupted = reply_->interrupted(); }) || interrupted;
}

void KernelRequest::fail(int linuxErrno) const {
    deliver([&](KernelReply& reply) { reply.error(linuxErrno); });
}

void KernelRequest::fail(const std::optional<foundation::Error>& error) const { fail(linuxErrnoForError(error)); }

void KernelRequest::finish(const std::optional<foundation::Error>& error) const {
    if (error) return fail(error);
    deliver([](KernelReply& reply) { reply.error(0); });
}

void KernelRequest::replyAttributes(uint64_t inode, const std::optional<fskit::FSItemAttributes>& attributes,
                                    const std::optional<foundation::Error>& error) const {
    if (!attributes) return fail(error);
    replyAttributes(inode, *attributes, context_->cacheOptions().attrTimeout);
}

void KernelRequest::replyAttributes(uint64_t inode, const fskit::FSItemAttributes& attributes, double timeout) const {
    deliver([&](KernelReply& reply) {
        reply.attributes(statFromAttributes(attributes, inode, context_->options.presentation), timeout);
    });
}

KernelRequest::ItemPtr KernelRequest::itemOrFail(uint64_t inode) const {
    const VolumeGeneration* generation = generationOrFail();
    if (!generation) return nullptr;
    auto recovered = recoverItem(context_->inodes, context_->lookups, *generation, inode, until_);
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
