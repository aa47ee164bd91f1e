#include "host/fuse/open_operations.h"

#include "host/fuse/attribute_conversion.h"
#include "host/fuse/entry_replies.h"
#include "host/fuse/kernel_request.h"
#include "host/fuse/ownership.h"
#include "host/fuse/page_cache_policy.h"
#include "host/fuse/request_flags.h"

#include <fcntl.h>

namespace brindle::host {

namespace {

using ItemPtr = std::shared_ptr<BrindleItem>;
using HandlePtr = std::shared_ptr<OpenHandle>;
using foundation::Error;

HandlePtr makeHandle(const KernelRequest& request, const ItemPtr& item, uint64_t inode, uint32_t modes,
                     bool directory = false) {
    auto handle = std::make_shared<OpenHandle>();
    handle->item = item;
    handle->inode = inode;
    handle->modes = modes;
    handle->directory = directory;
    handle->generation = request.generation().number;
    handle->directories = request.generation().directories;
    return handle;
}

// Ends one open: counts it off and tells the volume which modes stay open. A directory's
// volume-side open is shared and ends with its last user.
void closeOpen(const std::shared_ptr<OperationContext>& context, const HandlePtr& handle,
               BrindleVolume::ErrorReply reply) {
    const auto release = context->inodes.recordRelease(handle->inode, handle->modes);
    BrindleVolume::ErrorReply finish = [context, unreferenced = release.unreferenced,
                                        reply = std::move(reply)](std::optional<Error> error) {
        reply(std::move(error));
        context->lookups.reclaim(unreferenced);
    };
    const auto latest = context->volume.latest();
    ItemPtr item;
    {
        std::lock_guard lock(handle->generationMutex);
        // An open of an earlier connection ended with it; the newer server never had it.
        if (handle->generation == latest->number) item = handle->item;
    }
    if (!item) return finish(std::nullopt);
    if (!handle->directory) {
        latest->volume->closeItem(item, release.keepingModes, std::move(finish));
        return;
    }
    handle->directories->release(
        handle->inode,
        [volume = latest->volume, item](DirectoryOpens::Done done) { volume->closeItem(item, 0, std::move(done)); },
        std::move(finish));
}

// Ends an open the volume accepted but the kernel never got. The volume's close tracks the item
// again, so it is let go once more afterwards unless the kernel holds it.
void abandonOpen(const std::shared_ptr<OperationContext>& context, const HandlePtr& handle) {
    context->inodes.recordOpen(handle->inode, handle->modes);
    closeOpen(context, handle, [context, item = handle->item](std::optional<Error>) {
        context->lookups.releaseUnreferenced(item);
    });
}

// Records an open that the volume accepted and answers with its handle. When the request was
// already answered (it ran out of time) or the answer cannot be sent, the open is closed again.
void answerOpen(const KernelRequest& request, const HandlePtr& handle, fuse_file_info info) {
    const auto& context = request.context();
    bool sent = false;
    if (!handle->directory) info.keep_cache = keepsPageCacheOnOpen(context->options.pageCache);
    const bool answered = request.deliver([&] {
        context->inodes.recordOpen(handle->inode, handle->modes);
        info.fh = context->handles.add(handle);
        sent = fuse_reply_open(request.req(), &info) == 0;
        if (!sent) context->handles.take(info.fh);
    });
    if (!answered) context->inodes.recordOpen(handle->inode, handle->modes);
    if (!sent) closeOpen(context, handle, [](std::optional<Error>) {});
}

// Opens a file the create made and answers with its entry and handle.
void openCreated(const KernelRequest& request, const ItemPtr& item, uint32_t modes, fuse_file_info info,
                 uint64_t parent, const std::string& name) {
    request.volume().openItem(item, modes, [request, item, modes, info, parent,
                                            name](std::optional<Error> error) mutable {
        if (error) return request.fail(error);
        const auto& context = request.context();
        auto handle = makeHandle(request, item, context->inodes.inodeOfItem(*item), modes);
        bool recorded = false;
        const bool handedOver = replyWithEntry(request, item, parent, name, [&](const fuse_entry_param& entry) {
            context->inodes.recordOpen(handle->inode, handle->modes);
            recorded = true;
            info.fh = context->handles.add(handle);
            const int result = fuse_reply_create(request.req(), &entry, &info);
            if (result != 0) context->handles.take(info.fh);
            return result;
        });
        if (handedOver) return;
        if (recorded) return closeOpen(context, handle, [](std::optional<Error>) {});
        abandonOpen(context, handle);
    });
}

}  // namespace

void onOpen(fuse_req_t req, fuse_ino_t inode, fuse_file_info* info) {
    const KernelRequest request(req);
    auto item = request.itemOrFail(inode);
    if (!item) return;
    const uint32_t modes = openModesForFlags(info->flags);
    // O_CREAT and O_EXCL arrive as a create, and the kernel keeps O_APPEND (it picks the end of
    // file as the offset, since the protocol writes at offsets only), O_SYNC, O_NOATIME and
    // O_NONBLOCK to itself; O_TRUNC and O_DIRECT are left to the open. The server's write open
    // can read too, so the writeback cache may fill pages through a write-only handle.
    if (info->flags & O_DIRECT) info->direct_io = 1;
    request.volume().openItem(item, modes, [request, item, inode, modes, info = *info](std::optional<Error> error) {
        if (error) return request.fail(error);
        auto handle = makeHandle(request, item, inode, modes);
        if (!(info.flags & O_TRUNC)) return answerOpen(request, handle, info);
        // The kernel leaves O_TRUNC to the open and shows the file empty once it is answered, so
        // the server's copy is cut before that; a failed cut fails the open, as locally.
        request.volume().setAttributes(
            truncationAttributes(), item,
            [request, handle, info](std::optional<fskit::FSItemAttributes> attributes, std::optional<Error> error) {
                if (attributes) return answerOpen(request, handle, info);
                abandonOpen(request.context(), handle);
                request.fail(error);
            });
    });
}

void onOpendir(fuse_req_t req, fuse_ino_t inode, fuse_file_info* info) {
    const KernelRequest request(req);
    auto item = request.itemOrFail(inode);
    if (!item) return;
    request.generation().directories->acquire(
        inode,
        [request, item](DirectoryOpens::Done done) {
            request.volume().openItem(item, BrindleVolume::openModeRead, std::move(done));
        },
        [request, item, inode, info = *info](std::optional<Error> error) {
            if (error) return request.fail(error);
            answerOpen(request, makeHandle(request, item, inode, BrindleVolume::openModeRead, true), info);
        });
}

void onCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* info) {
    const KernelRequest request(req);
    auto directory = request.itemOrFail(parent);
    if (!directory) return;
    const uint32_t modes = openModesForFlags(info->flags);
    if (info->flags & O_DIRECT) info->direct_io = 1;
    const auto fileName = request.nameOrFail(name);
    if (!fileName) return;
    request.volume().createItemNamed(
        *fileName, fskit::FSItemTypeFile, directory, creationAttributes(mode),
        [request, modes, info = *info, parent, directory, created = *fileName](
            ItemPtr item, std::optional<fskit::FSFileName>, std::optional<Error> error) {
            if (!item) return request.fail(error);
            giveToCaller(request, item, directory, created, [request, item, modes, info, parent, created] {
                openCreated(request, item, modes, info, parent, created.data());
            });
        });
}

void onRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* info) {
    const KernelRequest request(req);
    auto handle = request.context()->handles.take(info->fh);
    if (!handle) return request.finish(std::nullopt);
    closeOpen(request.context(), handle, [request](std::optional<Error> error) { request.finish(error); });
}

}  // namespace brindle::host
