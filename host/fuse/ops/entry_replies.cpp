#include "host/fuse/ops/entry_replies.h"

#include "host/fuse/translation/attribute_conversion.h"

namespace brindle::host {

fuse_entry_param entryFor(const MountOptions& options, uint64_t inode, const fskit::FSItemAttributes& attributes) {
    fuse_entry_param entry{};
    entry.ino = inode;
    entry.attr = statFromAttributes(attributes, inode, options.presentation);
    entry.attr_timeout = options.attrTimeout;
    entry.entry_timeout = options.entryTimeout;
    return entry;
}

void whenAttributesLoaded(const KernelRequest& request, const std::shared_ptr<BrindleItem>& item,
                          std::function<void()> then) {
    if (BrindleVolume::hasLoadedAttributes(*item)) return then();
    request.volume().getAttributes(allAttributes(), item,
                                   [request, item, then = std::move(then)](std::optional<fskit::FSItemAttributes> attributes,
                                                                           std::optional<foundation::Error> error) {
                                       if (attributes) return then();
                                       request.context()->lookups.releaseUnreferenced(item);
                                       request.fail(error);
                                   });
}

bool replyWithEntry(const KernelRequest& request, const std::shared_ptr<BrindleItem>& item, uint64_t parentInode,
                    const std::string& name, const EntrySend& send) {
    OperationContext& context = *request.context();
    const auto attributes = BrindleVolume::attributesForItem(*item, allAttributes());
    const fuse_entry_param entry = entryFor(context.cacheOptions(), context.inodes.inodeOfItem(*item), attributes);
    bool handedOver = false;
    request.deliver([&](KernelReply& reply) {
        handedOver = context.lookups.handOver({{item, parentInode, name}},
                                              [&] { return send ? send(reply, entry) : reply.entry(entry); });
    });
    if (!handedOver) context.lookups.releaseUnreferenced(item);
    return handedOver;
}

}  // namespace brindle::host
