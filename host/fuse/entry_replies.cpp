#include "host/fuse/entry_replies.h"

#include "host/fuse/attribute_conversion.h"

namespace brindle::host {

fuse_entry_param entryFor(const MountOptions& options, uint64_t inode, const fskit::FSItemAttributes& attributes) {
    fuse_entry_param entry{};
    entry.ino = inode;
    entry.attr = statFromAttributes(attributes, inode);
    entry.attr_timeout = options.attrTimeout;
    entry.entry_timeout = options.entryTimeout;
    return entry;
}

void replyWithEntry(const KernelRequest& request, const std::shared_ptr<BrindleItem>& item, uint64_t parentInode,
                    std::string name, EntrySend send, std::function<void()> undoWhenNotAnswered) {
    if (!send) send = [req = request.req()](const fuse_entry_param& entry) { return fuse_reply_entry(req, &entry); };
    request.volume().getAttributes(
        allAttributes(), item,
        [request, item, parentInode, name = std::move(name), send = std::move(send),
         undo = std::move(undoWhenNotAnswered)](std::optional<fskit::FSItemAttributes> attributes,
                                                std::optional<foundation::Error> error) {
            if (!attributes) {
                request.fail(error);
                if (undo) undo();
                return;
            }
            OperationContext& context = *request.context();
            const bool answered = request.deliver([&] {
                const fuse_entry_param entry = entryFor(context.options, context.inodes.inodeOfItem(*item), *attributes);
                context.lookups.handOver({{item, parentInode, name}}, [&] { return send(entry); });
            });
            if (!answered && undo) undo();
        });
}

}  // namespace brindle::host
