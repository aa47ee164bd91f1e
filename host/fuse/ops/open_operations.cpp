#include "host/fuse/ops/open_operations.h"

#include "host/fuse/ops/cached_contents.h"
#include "host/fuse/ops/entry_replies.h"
#include "host/fuse/ops/ownership.h"
#include "host/fuse/requests/kernel_request.h"
#include "host/fuse/translation/attribute_conversion.h"
#include "host/fuse/translation/request_flags.h"
#include "platform/foundation/errno_table.h"

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <mutex>

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

// Only an open of a file that still waits for its final mode has something for close(2) to hear,
// or any open where the server keeps this mount's locks: a close lets go of its process's
// byte-range locks, which only the flush names. The kernel asks every other open nothing when it
// is closed (unless it caches writes).
bool flushHasNothingToReport(const OperationContext& context, const OpenHandle& handle) {
    if (handle.directory) return true;
    return !context.kernelSendsLocks && !BrindleVolume::pendingFinalModeOf(*handle.item);
}

// Ends one open: counts it off and tells the volume which modes stay open. A directory's
// volume-side open is shared and ends with its last user.
void closeOpen(const std::shared_ptr<OperationContext>& context, const HandlePtr& handle,
               BrindleVolume::ErrorReply reply) {
    uint64_t generation = 0;
    ItemPtr item;
    {
        std::lock_guard lock(handle->generationMutex);
        generation = handle->generation;
        item = handle->item;
    }
    const auto release = context->inodes.recordRelease(handle->inode, handle->modes, generation);
    BrindleVolume::ErrorReply finish = [context, unreferenced = release.unreferenced,
                                        reply = std::move(reply)](std::optional<Error> error) {
        reply(std::move(error));
        context->lookups.reclaim(unreferenced);
    };
    const auto latest = context->volume.latest();
    // An open of an earlier connection ended with it; the newer server never had it.
    if (generation != latest->number) return finish(std::nullopt);
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
    context->inodes.recordOpen(handle->inode, handle->modes, handle->generation);
    closeOpen(context, handle, [context, item = handle->item](std::optional<Error>) {
        context->lookups.releaseUnreferenced(item);
    });
}

// Records an open that the volume accepted and answers with its handle; `keepCache` keeps what the
// kernel cached of the file or directory from earlier opens. When the request was already answered
// (it ran out of time) or the answer cannot be sent, the open is closed again.
// Where the server appends at its own end of file, an O_APPEND open bypasses the page cache: the
// kernel would put the bytes in its pages at the end it knows, which another client may have moved.
void passAppendsToServer(const KernelRequest& request, fuse_file_info& info) {
    if ((info.flags & O_DIRECT) || ((info.flags & O_APPEND) && request.volume().appendsAtServer())) {
        info.direct_io = 1;
    }
}

void answerOpen(const KernelRequest& request, const HandlePtr& handle, fuse_file_info info, bool keepCache) {
    const auto& context = request.context();
    bool sent = false;
    info.keep_cache = keepCache;
    info.noflush = flushHasNothingToReport(*context, *handle);
    handle->appendsAtServer = info.direct_io && (info.flags & O_APPEND);
    const bool answered = request.deliver([&](KernelReply& reply) {
        context->inodes.recordOpen(handle->inode, handle->modes, handle->generation);
        info.fh = context->handles.add(handle);
        sent = reply.open(info) == 0;
        if (!sent) context->handles.take(info.fh);
    });
    if (!answered) context->inodes.recordOpen(handle->inode, handle->modes, handle->generation);
    if (!sent) closeOpen(context, handle, [](std::optional<Error>) {});
}

// Starts the volume's side of an open and, at the same time, asks for the item's attributes, which
// a close-to-open stamp needs: the open then waits for one round trip, not two. `then` runs once,
// after both, with the open's outcome and the attributes (none when asking for them failed).
void openBesideAttributes(
    const KernelRequest& request, const ItemPtr& item, const std::function<void(BrindleVolume::ErrorReply)>& open,
    std::function<void(std::optional<Error> error, std::optional<fskit::FSItemAttributes> attributes)> then) {
    struct Opening {
        std::mutex mutex;
        int waiting = 2;
        std::optional<Error> error;
        std::optional<fskit::FSItemAttributes> attributes;
    };
    auto opening = std::make_shared<Opening>();
    auto arrive = [opening, then = std::move(then)](const std::function<void(Opening&)>& record) {
        {
            std::lock_guard lock(opening->mutex);
            record(*opening);
            if (--opening->waiting > 0) return;
        }
        then(opening->error, opening->attributes);
    };
    request.volume().getAttributes(
        allAttributes(), item, [arrive](std::optional<fskit::FSItemAttributes> attributes, std::optional<Error>) {
            arrive([&](Opening& opening) { opening.attributes = std::move(attributes); });
        });
    open([arrive](std::optional<Error> error) { arrive([&](Opening& opening) { opening.error = std::move(error); }); });
}

// Answers a create with the entry of the file it made and a handle of the open it holds.
void answerCreated(const KernelRequest& request, const ItemPtr& item, uint32_t modes, fuse_file_info info,
                   uint64_t parent, const std::string& name) {
    const auto& context = request.context();
    auto handle = makeHandle(request, item, context->inodes.inodeOfItem(*item), modes);
    bool recorded = false;
    const bool handedOver = replyWithEntry(request, item, parent, name, [&](KernelReply& reply, const fuse_entry_param& entry) {
        context->inodes.recordOpen(handle->inode, handle->modes, handle->generation);
        recorded = true;
        info.noflush = flushHasNothingToReport(*context, *handle);
        handle->appendsAtServer = info.direct_io && (info.flags & O_APPEND);
        info.fh = context->handles.add(handle);
        const int result = reply.create(entry, info);
        if (result != 0) context->handles.take(info.fh);
        return result;
    });
    if (handedOver) return;
    if (recorded) return closeOpen(context, handle, [](std::optional<Error>) {});
    abandonOpen(context, handle);
}

// Opens a file the create made but did not open, then answers as above.
void openCreated(const KernelRequest& request, const ItemPtr& item, uint32_t modes, fuse_file_info info,
                 uint64_t parent, const std::string& name) {
    request.volume().openItem(item, modes, [request, item, modes, info, parent, name](std::optional<Error> error) {
        if (error) return request.fail(error);
        answerCreated(request, item, modes, info, parent, name);
    });
}

// An open of a node the server no longer has came through a name the kernel still caches (another
// client removed or replaced the file): ESTALE makes the kernel look the name up again and open
// what it names now, once, as it does for a path.
void failOpen(const KernelRequest& request, const std::optional<Error>& error) {
    if (error && error->isPosix(foundation::darwin::enoent)) return request.fail(ESTALE);
    request.fail(error);
}

}  // namespace

void onOpen(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info) {
    auto item = request.itemOrFail(inode);
    if (!item) return;
    const uint32_t modes = openModesForFlags(info->flags);
    // O_CREAT and O_EXCL arrive as a create, and the kernel keeps O_APPEND (it picks the end of
    // file as the offset, since the protocol writes at offsets only), O_SYNC, O_NOATIME and
    // O_NONBLOCK to itself; O_TRUNC and O_DIRECT are left to the open. The server's write open
    // can read too, so the writeback cache may fill pages through a write-only handle.
    passAppendsToServer(request, *info);
    const PageCachePolicy policy = request.context()->options.pageCache;
    if (!(info->flags & O_TRUNC) && policy == PageCachePolicy::CloseToOpen) {
        return openBesideAttributes(
            request, item,
            [request, item, modes](BrindleVolume::ErrorReply done) {
                request.volume().openItem(item, modes, std::move(done));
            },
            [request, item, inode, modes, info = *info](std::optional<Error> error,
                                                         std::optional<fskit::FSItemAttributes> attributes) {
                if (error) return failOpen(request, error);
                const bool current = pagesStillCurrent(*request.context(), inode, attributes);
                // The kernel drops stale pages at this open but keeps the size it held, and reads
                // no further than that size: a file grown behind this mount would read cut short.
                if (!current && request.context()->notices) request.context()->notices->forgetAttributes(inode);
                answerOpen(request, makeHandle(request, item, inode, modes), info, current);
            });
    }
    request.volume().openItem(item, modes, [request, item, inode, modes, policy,
                                            info = *info](std::optional<Error> error) {
        if (error) return failOpen(request, error);
        auto handle = makeHandle(request, item, inode, modes);
        if (!(info.flags & O_TRUNC)) return answerOpen(request, handle, info, keepsPagesUnasked(policy));
        // The kernel leaves O_TRUNC to the open and shows the file empty once it is answered, so
        // the server's copy is cut before that; a failed cut fails the open, as locally. The
        // kernel empties its cache of the file itself, and the cut file is the next open's stamp.
        request.volume().setAttributes(
            truncationAttributes(), item,
            [request, handle, info](std::optional<fskit::FSItemAttributes> attributes, std::optional<Error> error) {
                if (attributes) {
                    pagesStillCurrent(*request.context(), handle->inode, attributes);
                    return answerOpen(request, handle, info, false);
                }
                abandonOpen(request.context(), handle);
                request.fail(error);
            });
    });
}

void onOpendir(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info) {
    auto item = request.itemOrFail(inode);
    if (!item) return;
    const auto openVolumeSide = [request, item, inode](DirectoryOpens::Done done) {
        request.generation().directories->acquire(
            inode,
            [request, item](DirectoryOpens::Done opened) {
                request.volume().openItem(item, BrindleVolume::openModeRead, std::move(opened));
            },
            std::move(done));
    };
    const auto lifetime = listingLifetime(request.context()->cacheOptions());
    if (!lifetime) {
        return openVolumeSide([request, item, inode, info = *info](std::optional<Error> error) {
            if (error) return request.fail(error);
            answerOpen(request, makeHandle(request, item, inode, BrindleVolume::openModeRead, true), info, false);
        });
    }
    const auto answer = [request, item, inode, info = *info,
                         lifetime = *lifetime](const std::optional<fskit::FSItemAttributes>& attributes) {
        auto handle = makeHandle(request, item, inode, BrindleVolume::openModeRead, true);
        auto cached = info;
        cached.cache_readdir = 1;
        answerOpen(request, handle, cached, listingStillCurrent(*request.context(), *handle, attributes, lifetime));
    };
    if (!request.volume().opensDirectoriesWithAttributes()) {
        return openBesideAttributes(request, item, openVolumeSide,
                                    [request, answer](std::optional<Error> error,
                                                      std::optional<fskit::FSItemAttributes> attributes) {
                                        if (error) return request.fail(error);
                                        answer(attributes);
                                    });
    }
    // Set by the volume's open before it reports done; read only after.
    auto brought = std::make_shared<std::optional<fskit::FSItemAttributes>>();
    request.generation().directories->acquire(
        inode,
        [request, item, brought](DirectoryOpens::Done opened) {
            request.volume().openDirectory(item, [brought, opened = std::move(opened)](
                                                     std::optional<fskit::FSItemAttributes> attributes,
                                                     std::optional<Error> error) {
                *brought = std::move(attributes);
                opened(std::move(error));
            });
        },
        [request, item, brought, answer](std::optional<Error> error) {
            if (error) return request.fail(error);
            if (*brought) return answer(*brought);
            // The directory was open already, or its open brought no record: asked as from any server.
            request.volume().getAttributes(allAttributes(), item,
                                           [answer](std::optional<fskit::FSItemAttributes> attributes,
                                                    std::optional<Error>) { answer(attributes); });
        });
}

void onCreate(const KernelRequest& request, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* info) {
    auto directory = request.itemOrFail(parent);
    if (!directory) return;
    const uint32_t modes = openModesForFlags(info->flags);
    passAppendsToServer(request, *info);
    const auto fileName = request.nameOrFail(name);
    if (!fileName) return;
    request.volume().createOpenedFileNamed(
        *fileName, directory, creationAttributes(mode), modes,
        [request, modes, info = *info, parent, directory, created = *fileName](
            ItemPtr item, std::optional<fskit::FSFileName>, bool opened, std::optional<Error> error) {
            if (!item) return request.fail(error);
            giveToCaller(
                request, item, directory, created,
                [request, item, modes, info, parent, created, opened] {
                    if (opened) return answerCreated(request, item, modes, info, parent, created.data());
                    openCreated(request, item, modes, info, parent, created.data());
                },
                opened);
        });
}

void onFlush(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info) {
    const auto& context = request.context();
    const auto handle = context->handles.find(info->fh);
    // The final mode waits for the last open of the file; a dup'd descriptor shares its open.
    if (!handle || handle->directory || context->inodes.openCount(handle->inode) > 1) return request.finish(std::nullopt);
    ItemPtr carrier;
    {
        std::lock_guard lock(handle->generationMutex);
        carrier = handle->item;
    }
    const auto mode = BrindleVolume::pendingFinalModeOf(*carrier);
    if (!mode) return request.finish(std::nullopt);
    // After a reconnect the item is found again on the new server, which is where the mode goes.
    auto item = request.itemOrFail(inode);
    if (!item) return;
    auto change = std::make_shared<fskit::FSItemSetAttributesRequest>();
    change->mode = *mode;
    request.volume().setAttributes(
        change, item,
        [request, carrier](std::optional<fskit::FSItemAttributes> attributes, std::optional<Error> error) {
            if (attributes) BrindleVolume::clearPendingFinalMode(*carrier);
            request.finish(attributes ? std::nullopt : error);
        });
}

void onRelease(const KernelRequest& request, fuse_ino_t, fuse_file_info* info) {
    auto handle = request.context()->handles.take(info->fh);
    if (!handle) return request.finish(std::nullopt);
    closeOpen(request.context(), handle, [request](std::optional<Error> error) { request.finish(error); });
}

}  // namespace brindle::host
