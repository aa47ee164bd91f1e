#include "host/fuse/ops/namespace_operations.h"

#include "host/fuse/ops/entry_replies.h"
#include "host/fuse/ops/ownership.h"
#include "host/fuse/requests/kernel_request.h"
#include "host/fuse/translation/attribute_conversion.h"
#include "host/fuse/translation/error_mapping.h"

#include <cerrno>

namespace brindle::host {

namespace {

using ItemPtr = std::shared_ptr<BrindleItem>;
using foundation::Error;
using fskit::FSFileName;

// How long a lookup waits for the kernel to drop a moved directory's old name.
constexpr std::chrono::milliseconds forgetBound{200};

// The kernel keeps one name per directory. When a directory it knows moved behind the mount, the
// old name must go before the new one is answered: inside a rename the kernel cannot move the old
// name over and fails the rename with ESTALE.
void forgetOldNamesOfDirectory(const KernelRequest& request, const ItemPtr& item, fuse_ino_t parent,
                               const std::string& name) {
    const auto& context = request.context();
    if (!context->notices || BrindleVolume::placeOfItem(*item).itemType != ItemType::Directory) return;
    for (const auto& [oldParent, oldName] : context->inodes.takeOtherNames(context->inodes.inodeOfItem(*item), parent, name))
        context->notices->forgetEntry(oldParent, oldName, forgetBound);
}

// Answers a lookup with the entry of the item found as `name` in `parent`. A missing name is
// answered as an entry without inode, which the kernel remembers for the negative timeout: asking
// again for a name that is not there (a search path, a compiler's include directories) then costs
// no server call. The kernel forgets such an entry itself when it creates the name.
BrindleVolume::ItemNameReply entryReply(const KernelRequest& request, fuse_ino_t parent, std::string name) {
    return [request, parent, name = std::move(name)](ItemPtr item, std::optional<FSFileName>,
                                                     std::optional<Error> error) {
        if (item) {
            forgetOldNamesOfDirectory(request, item, parent, name);
            whenAttributesLoaded(request, item, [request, item, parent, name] { replyWithEntry(request, item, parent, name); });
            return;
        }
        const double missTimeout = negativeEntryTimeout(request.context()->cacheOptions());
        if (linuxErrnoForError(error) != ENOENT || missTimeout <= 0) return request.fail(error);
        fuse_entry_param miss{};
        miss.entry_timeout = missTimeout;
        request.deliver([&](KernelReply& reply) { reply.entry(miss); });
    };
}

// Answers a create with the entry of the new item, once it belongs to the caller.
BrindleVolume::ItemNameReply creationReply(const KernelRequest& request, fuse_ino_t parent, ItemPtr directory,
                                           FSFileName name) {
    return [request, parent, directory = std::move(directory), name = std::move(name)](
               ItemPtr item, std::optional<FSFileName>, std::optional<Error> error) {
        if (!item) return request.fail(error);
        whenAttributesLoaded(request, item, [request, item, directory, parent, name] {
            giveToCaller(request, item, directory, name,
                         [request, item, parent, name] { replyWithEntry(request, item, parent, name.data()); });
        });
    };
}

void createEntry(const KernelRequest& request, fuse_ino_t parent, const char* name, int64_t type, mode_t mode) {
    auto directory = request.itemOrFail(parent);
    if (!directory) return;
    if (type == fskit::FSItemTypeUnknown) return request.fail(EINVAL);
    const auto fileName = request.nameOrFail(name);
    if (!fileName) return;
    request.volume().createItemNamed(*fileName, type, directory, creationAttributes(mode),
                                     creationReply(request, parent, directory, *fileName));
}

void removeEntry(const KernelRequest& request, fuse_ino_t parent, const char* name, bool directoryWanted) {
    auto directory = request.itemOrFail(parent);
    if (!directory) return;
    const auto fileName = request.nameOrFail(name);
    if (!fileName) return;
    auto remove = [request, directory, removed = *fileName, directoryWanted](ItemPtr item, std::optional<FSFileName>,
                                                                             std::optional<Error> error) {
        if (!item) return request.fail(error);
        const bool isDirectory = BrindleVolume::placeOfItem(*item).itemType == ItemType::Directory;
        if (directoryWanted != isDirectory) {
            request.context()->lookups.releaseUnreferenced(item);
            return request.fail(directoryWanted ? ENOTDIR : EISDIR);
        }
        request.volume().removeItem(item, removed, directory, [request, item](std::optional<Error> error) {
            request.context()->lookups.releaseUnreferenced(item);
            request.finish(error);
        });
    };
    if (auto known = request.context()->inodes.itemNamed(parent, name))
        return remove(known, std::nullopt, std::nullopt);
    request.volume().lookupItemNamed(*fileName, directory, std::move(remove));
}

}  // namespace

void onLookup(const KernelRequest& request, fuse_ino_t parent, const char* name) {
    auto directory = request.itemOrFail(parent);
    if (!directory) return;
    const auto fileName = request.nameOrFail(name);
    if (!fileName) return;
    request.volume().lookupItemNamed(*fileName, directory, entryReply(request, parent, name));
}

void onForget(const KernelRequest& request, fuse_ino_t inode, uint64_t lookups) {
    request.context()->lookups.forget(inode, lookups);
    request.deliver([](KernelReply& reply) { reply.none(); });
}

void onForgetMulti(const KernelRequest& request, size_t count, fuse_forget_data* forgets) {
    const auto& context = request.context();
    for (size_t i = 0; i < count; ++i) context->lookups.forget(forgets[i].ino, forgets[i].nlookup);
    request.deliver([](KernelReply& reply) { reply.none(); });
}

void onReadlink(const KernelRequest& request, fuse_ino_t inode) {
    auto item = request.itemOrFail(inode);
    if (!item) return;
    request.volume().readSymbolicLink(item, [request](std::optional<FSFileName> target, std::optional<Error> error) {
        if (!target) return request.fail(error);
        request.deliver([&](KernelReply& reply) { reply.linkTarget(target->data().c_str()); });
    });
}

void onMknod(const KernelRequest& request, fuse_ino_t parent, const char* name, mode_t mode, dev_t) {
    createEntry(request, parent, name, itemTypeForMode(mode), mode);
}

void onMkdir(const KernelRequest& request, fuse_ino_t parent, const char* name, mode_t mode) {
    createEntry(request, parent, name, fskit::FSItemTypeDirectory, mode);
}

void onSymlink(const KernelRequest& request, const char* target, fuse_ino_t parent, const char* name) {
    auto directory = request.itemOrFail(parent);
    if (!directory) return;
    const auto fileName = request.nameOrFail(name);
    if (!fileName) return;
    // The link's contents travel as a JSON string too.
    const auto contents = request.nameOrFail(target);
    if (!contents) return;
    request.volume().createSymbolicLinkNamed(*fileName, directory,
                                             std::make_shared<fskit::FSItemSetAttributesRequest>(), *contents,
                                             creationReply(request, parent, directory, *fileName));
}

void onUnlink(const KernelRequest& request, fuse_ino_t parent, const char* name) {
    removeEntry(request, parent, name, false);
}

void onRmdir(const KernelRequest& request, fuse_ino_t parent, const char* name) {
    removeEntry(request, parent, name, true);
}

void onRename(const KernelRequest& request, fuse_ino_t parent, const char* name, fuse_ino_t newParent, const char* newName,
              unsigned int flags) {
    // RENAME_NOREPLACE, RENAME_EXCHANGE and RENAME_WHITEOUT have no counterpart in the protocol.
    if (flags != 0) return request.fail(EINVAL);
    auto source = request.itemOrFail(parent);
    if (!source) return;
    auto destination = request.itemOrFail(newParent);
    if (!destination) return;
    const auto sourceName = request.nameOrFail(name);
    if (!sourceName) return;
    const auto destinationName = request.nameOrFail(newName);
    if (!destinationName) return;
    auto& inodes = request.context()->inodes;
    // The item being replaced only informs the volume; an unknown one is not worth a remote call.
    auto over = inodes.itemNamed(newParent, newName);
    auto rename = [request, source, destination, from = *sourceName, to = *destinationName, over, newParent](
                      ItemPtr item, std::optional<FSFileName>, std::optional<Error> error) {
        if (!item) return request.fail(error);
        request.volume().renameItem(
            item, source, from, to, destination, over,
            [request, item, newParent, to](std::optional<FSFileName>, std::optional<Error> error) {
                const auto& context = request.context();
                auto& inodes = context->inodes;
                if (!error) inodes.rename(inodes.inodeOfItem(*item), newParent, to.data());
                context->lookups.releaseUnreferenced(item);
                request.finish(error);
            });
    };
    if (auto known = inodes.itemNamed(parent, name)) return rename(known, std::nullopt, std::nullopt);
    request.volume().lookupItemNamed(*sourceName, source, std::move(rename));
}

void onLink(const KernelRequest& request, fuse_ino_t, fuse_ino_t, const char*) {
    // The volume has no hard links.
    request.fail(EOPNOTSUPP);
}

}  // namespace brindle::host
