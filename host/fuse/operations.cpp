#include "host/fuse/operations.h"

#include "host/fuse/attribute_conversion.h"
#include "host/fuse/directory_packer.h"
#include "host/fuse/error_mapping.h"
#include "host/fuse/request_flags.h"
#include "platform/foundation/errno_table.h"
#include "platform/log/log.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace brindle::host {

OperationContext::OperationContext(std::shared_ptr<BrindleVolume> volume_, uint64_t rootNodeID,
                                   MountOptions options_, std::chrono::steady_clock::duration replyBound_)
    : volume(std::move(volume_)), inodes(volume->rootItem(), rootNodeID), options(std::move(options_)),
      deadline(ReplyDeadline::create(replyBound_, std::chrono::seconds(1), [](uint64_t token) {
          fuse_reply_err(reinterpret_cast<fuse_req_t>(token), EIO);
      })) {}

uint64_t OperationContext::addHandle(std::shared_ptr<OpenHandle> handle) {
    std::lock_guard lock(handlesMutex_);
    const uint64_t id = nextHandle_++;
    handles_.emplace(id, std::move(handle));
    return id;
}

std::shared_ptr<OperationContext::OpenHandle> OperationContext::handle(uint64_t id) const {
    std::lock_guard lock(handlesMutex_);
    const auto found = handles_.find(id);
    return found == handles_.end() ? nullptr : found->second;
}

std::shared_ptr<OperationContext::OpenHandle> OperationContext::takeHandle(uint64_t id) {
    std::lock_guard lock(handlesMutex_);
    const auto found = handles_.find(id);
    if (found == handles_.end()) return nullptr;
    auto handle = std::move(found->second);
    handles_.erase(found);
    return handle;
}

namespace {

using ContextPtr = std::shared_ptr<OperationContext>;
using ItemPtr = std::shared_ptr<BrindleItem>;
using PendingPtr = std::shared_ptr<PendingReply>;
using foundation::Error;
using fskit::FSFileName;

constexpr uint64_t allAttributeBits = (fskit::FSItemAttributeInhibitKernelOffloadedIO << 1) - 1;
// FSKit's "wait for the data to reach storage" synchronisation flag.
constexpr int64_t synchronizeWait = 1;

const fskit::FSItemGetAttributesRequest& allAttributes() {
    static const fskit::FSItemGetAttributesRequest request(allAttributeBits);
    return request;
}

ContextPtr contextOf(fuse_req_t req) { return *static_cast<ContextPtr*>(fuse_req_userdata(req)); }

PendingPtr track(const ContextPtr& context, fuse_req_t req) {
    return context->deadline->track(reinterpret_cast<uint64_t>(req));
}

void fail(const PendingPtr& pending, fuse_req_t req, int linuxErrno) {
    pending->deliver([&] { fuse_reply_err(req, linuxErrno); });
}

void fail(const PendingPtr& pending, fuse_req_t req, const std::optional<Error>& error) {
    fail(pending, req, linuxErrnoForError(error));
}

void succeed(const PendingPtr& pending, fuse_req_t req) {
    pending->deliver([&] { fuse_reply_err(req, 0); });
}

ItemType itemTypeOf(const BrindleItem& item) {
    std::lock_guard lock(item.fieldsMutex);
    return item.itemType;
}

fuse_entry_param entryFor(const OperationContext& context, uint64_t inode, const fskit::FSItemAttributes& attributes) {
    fuse_entry_param entry{};
    entry.ino = inode;
    entry.attr = statFromAttributes(attributes, inode);
    entry.attr_timeout = context.options.attrTimeout;
    entry.entry_timeout = context.options.entryTimeout;
    return entry;
}

void reclaim(const ContextPtr& context, const ItemPtr& item) {
    if (item) context->volume->reclaimItem(item, [](std::optional<Error>) {});
}

// Answers with the item's entry and counts the kernel's new reference, once the answer is out;
// `send` gives the answer (fuse_reply_entry or fuse_reply_create) and returns its result.
void replyWithEntry(const ContextPtr& context, fuse_req_t req, const PendingPtr& pending, const ItemPtr& item,
                    uint64_t parentInode, std::string name, std::function<int(const fuse_entry_param&)> send,
                    std::function<void()> undoWhenNotAnswered = nullptr) {
    context->volume->getAttributes(
        allAttributes(), item,
        [context, req, pending, item, parentInode, name = std::move(name), send = std::move(send),
         undo = std::move(undoWhenNotAnswered)](
            std::optional<fskit::FSItemAttributes> attributes, std::optional<Error> error) {
            if (!attributes) {
                fail(pending, req, error);
                if (undo) undo();
                return;
            }
            const bool answered = pending->deliver([&] {
                // Counted before the answer goes out: a forget can follow it at once.
                const uint64_t inode = context->inodes.remember(item, 1, parentInode, name);
                if (send(entryFor(*context, inode, *attributes)) != 0) reclaim(context, context->inodes.forget(inode, 1));
            });
            if (!answered && undo) undo();
        });
}

void replyWithAttributes(const ContextPtr& context, fuse_req_t req, const PendingPtr& pending, uint64_t inode,
                         const std::optional<fskit::FSItemAttributes>& attributes, const std::optional<Error>& error) {
    if (!attributes) return fail(pending, req, error);
    pending->deliver([&] {
        const struct stat status = statFromAttributes(*attributes, inode);
        fuse_reply_attr(req, &status, context->options.attrTimeout);
    });
}

// Ends one open: counts it off and tells the volume which modes stay open. A directory's
// volume-side open is shared and ends with its last user.
void closeOpen(const ContextPtr& context, const std::shared_ptr<OperationContext::OpenHandle>& handle,
               BrindleVolume::ErrorReply reply) {
    const auto release = context->inodes.recordRelease(handle->inode, handle->modes);
    BrindleVolume::ErrorReply finish = [context, unreferenced = release.unreferenced,
                                        reply = std::move(reply)](std::optional<Error> error) {
        reply(std::move(error));
        reclaim(context, unreferenced);
    };
    if (!handle->directory) {
        context->volume->closeItem(handle->item, release.keepingModes, std::move(finish));
        return;
    }
    context->directories.release(
        handle->inode,
        [context, item = handle->item](DirectoryOpens::Done done) { context->volume->closeItem(item, 0, std::move(done)); },
        std::move(finish));
}

std::shared_ptr<OperationContext::OpenHandle> makeHandle(const ItemPtr& item, uint64_t inode, uint32_t modes,
                                                         bool directory = false) {
    auto handle = std::make_shared<OperationContext::OpenHandle>();
    handle->item = item;
    handle->inode = inode;
    handle->modes = modes;
    handle->directory = directory;
    return handle;
}

// Records an open that the volume accepted and answers with its handle. When the request was
// already answered (it ran out of time) or the answer cannot be sent, the open is closed again.
void answerOpen(const ContextPtr& context, const PendingPtr& pending,
                const std::shared_ptr<OperationContext::OpenHandle>& handle, fuse_file_info info,
                const std::function<int(fuse_file_info*)>& send) {
    bool sent = false;
    const bool answered = pending->deliver([&] {
        context->inodes.recordOpen(handle->inode, handle->modes);
        info.fh = context->addHandle(handle);
        sent = send(&info) == 0;
        if (!sent) context->takeHandle(info.fh);
    });
    if (!answered) context->inodes.recordOpen(handle->inode, handle->modes);
    if (!sent) closeOpen(context, handle, [](std::optional<Error>) {});
}

ItemPtr itemOrFail(const ContextPtr& context, fuse_req_t req, const PendingPtr& pending, fuse_ino_t inode) {
    auto item = context->inodes.item(inode);
    if (!item) fail(pending, req, ESTALE);
    return item;
}

void onInit(void* userdata, fuse_conn_info* connection) {
    const auto& context = *static_cast<ContextPtr*>(userdata);
    // Above 128 KiB libfuse also asks the kernel for max_pages to match.
    connection->max_write = maximumTransfer;
    connection->max_readahead = maximumTransfer;
    connection->max_background = 64;
    connection->congestion_threshold = 48;
    if (context->options.writebackCache && (connection->capable & FUSE_CAP_WRITEBACK_CACHE))
        connection->want |= FUSE_CAP_WRITEBACK_CACHE;
    else
        connection->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    logging::info("orvel: fuse init max_write={} max_readahead={} writeback_cache={}", connection->max_write,
                  connection->max_readahead, (connection->want & FUSE_CAP_WRITEBACK_CACHE) != 0);
}

void onLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto directory = itemOrFail(context, req, pending, parent);
    if (!directory) return;
    context->volume->lookupItemNamed(
        FSFileName::nameWithBytes(name), directory,
        [context, req, pending, parent, entryName = std::string(name)](ItemPtr item, std::optional<FSFileName>,
                                                                         std::optional<Error> error) {
            if (!item) return fail(pending, req, error);
            replyWithEntry(context, req, pending, item, parent, entryName,
                           [req](const fuse_entry_param& entry) { return fuse_reply_entry(req, &entry); });
        });
}

void forgetOne(const ContextPtr& context, fuse_ino_t inode, uint64_t lookups) {
    reclaim(context, context->inodes.forget(inode, lookups));
}

void onForget(fuse_req_t req, fuse_ino_t inode, uint64_t lookups) {
    forgetOne(contextOf(req), inode, lookups);
    fuse_reply_none(req);
}

void onForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
    auto context = contextOf(req);
    for (size_t i = 0; i < count; ++i) forgetOne(context, forgets[i].ino, forgets[i].nlookup);
    fuse_reply_none(req);
}

void onGetattr(fuse_req_t req, fuse_ino_t inode, fuse_file_info*) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto item = itemOrFail(context, req, pending, inode);
    if (!item) return;
    context->volume->getAttributes(allAttributes(), item,
                                   [context, req, pending, inode](std::optional<fskit::FSItemAttributes> attributes,
                                                                  std::optional<Error> error) {
                                       replyWithAttributes(context, req, pending, inode, attributes, error);
                                   });
}

void onSetattr(fuse_req_t req, fuse_ino_t inode, struct stat* values, int toSet, fuse_file_info*) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto item = itemOrFail(context, req, pending, inode);
    if (!item) return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    auto request = setAttributesRequestFromKernel(*values, toSet, now);
    auto reply = [context, req, pending, inode](std::optional<fskit::FSItemAttributes> attributes,
                                                std::optional<Error> error) {
        replyWithAttributes(context, req, pending, inode, attributes, error);
    };
    if (!request) return context->volume->getAttributes(allAttributes(), item, std::move(reply));
    context->volume->setAttributes(request, item, std::move(reply));
}

void onReadlink(fuse_req_t req, fuse_ino_t inode) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto item = itemOrFail(context, req, pending, inode);
    if (!item) return;
    context->volume->readSymbolicLink(item, [req, pending](std::optional<FSFileName> target, std::optional<Error> error) {
        if (!target) return fail(pending, req, error);
        pending->deliver([&] { fuse_reply_readlink(req, target->data().c_str()); });
    });
}

void createEntry(fuse_req_t req, fuse_ino_t parent, const char* name, int64_t type, mode_t mode) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto directory = itemOrFail(context, req, pending, parent);
    if (!directory) return;
    if (type == fskit::FSItemTypeUnknown) return fail(pending, req, EINVAL);
    context->volume->createItemNamed(
        FSFileName::nameWithBytes(name), type, directory, creationAttributes(mode),
        [context, req, pending, parent, entryName = std::string(name)](ItemPtr item, std::optional<FSFileName>,
                                                                         std::optional<Error> error) {
            if (!item) return fail(pending, req, error);
            replyWithEntry(context, req, pending, item, parent, entryName,
                           [req](const fuse_entry_param& entry) { return fuse_reply_entry(req, &entry); });
        });
}

void onMknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t) {
    createEntry(req, parent, name, itemTypeForMode(mode), mode);
}

void onMkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
    createEntry(req, parent, name, fskit::FSItemTypeDirectory, mode);
}

void onSymlink(fuse_req_t req, const char* target, fuse_ino_t parent, const char* name) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto directory = itemOrFail(context, req, pending, parent);
    if (!directory) return;
    context->volume->createSymbolicLinkNamed(
        FSFileName::nameWithBytes(name), directory, std::make_shared<fskit::FSItemSetAttributesRequest>(),
        FSFileName::nameWithBytes(target),
        [context, req, pending, parent, entryName = std::string(name)](ItemPtr item, std::optional<FSFileName>,
                                                                         std::optional<Error> error) {
            if (!item) return fail(pending, req, error);
            replyWithEntry(context, req, pending, item, parent, entryName,
                           [req](const fuse_entry_param& entry) { return fuse_reply_entry(req, &entry); });
        });
}

void removeEntry(fuse_req_t req, fuse_ino_t parent, const char* name, bool directoryWanted) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto directory = itemOrFail(context, req, pending, parent);
    if (!directory) return;
    const auto fileName = FSFileName::nameWithBytes(name);
    auto remove = [context, req, pending, directory, fileName, directoryWanted](ItemPtr item, std::optional<FSFileName>,
                                                                               std::optional<Error> error) {
        if (!item) return fail(pending, req, error);
        const bool isDirectory = itemTypeOf(*item) == ItemType::Directory;
        if (directoryWanted && !isDirectory) return fail(pending, req, ENOTDIR);
        if (!directoryWanted && isDirectory) return fail(pending, req, EISDIR);
        context->volume->removeItem(item, fileName, directory, [req, pending](std::optional<Error> error) {
            if (error) return fail(pending, req, error);
            succeed(pending, req);
        });
    };
    if (auto known = context->inodes.itemNamed(parent, name)) return remove(known, std::nullopt, std::nullopt);
    context->volume->lookupItemNamed(fileName, directory, std::move(remove));
}

void onUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) { removeEntry(req, parent, name, false); }
void onRmdir(fuse_req_t req, fuse_ino_t parent, const char* name) { removeEntry(req, parent, name, true); }

void onRename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent, const char* newName,
              unsigned int flags) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    // RENAME_NOREPLACE, RENAME_EXCHANGE and RENAME_WHITEOUT have no counterpart in the protocol.
    if (flags != 0) return fail(pending, req, EINVAL);
    auto source = itemOrFail(context, req, pending, parent);
    if (!source) return;
    auto destination = itemOrFail(context, req, pending, newParent);
    if (!destination) return;
    const auto sourceName = FSFileName::nameWithBytes(name);
    const auto destinationName = FSFileName::nameWithBytes(newName);
    // The item being replaced only informs the volume; an unknown one is not worth a remote call.
    auto over = context->inodes.itemNamed(newParent, newName);
    auto rename = [context, req, pending, source, destination, sourceName, destinationName, over, newParent](
                      ItemPtr item, std::optional<FSFileName>, std::optional<Error> error) {
        if (!item) return fail(pending, req, error);
        context->volume->renameItem(
            item, source, sourceName, destinationName, destination, over,
            [context, req, pending, item, newParent, destinationName](std::optional<FSFileName>,
                                                                      std::optional<Error> error) {
                if (error) return fail(pending, req, error);
                context->inodes.rename(context->inodes.inodeForNodeID(nodeIDOfItem(*item)), newParent,
                                       destinationName.data());
                succeed(pending, req);
            });
    };
    if (auto known = context->inodes.itemNamed(parent, name)) return rename(known, std::nullopt, std::nullopt);
    context->volume->lookupItemNamed(sourceName, source, std::move(rename));
}

void onLink(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) {
    // The volume has no hard links.
    fuse_reply_err(req, EOPNOTSUPP);
}

void onOpen(fuse_req_t req, fuse_ino_t inode, fuse_file_info* info) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto item = itemOrFail(context, req, pending, inode);
    if (!item) return;
    const uint32_t modes = openModesForFlags(info->flags);
    // The kernel reads and writes O_DIRECT files through the handle without its page cache.
    if (info->flags & O_DIRECT) info->direct_io = 1;
    context->volume->openItem(item, modes, [context, req, pending, item, inode, modes,
                                            info = *info](std::optional<Error> error) {
        if (error) return fail(pending, req, error);
        auto handle = makeHandle(item, inode, modes);
        auto answer = [req](fuse_file_info* fi) { return fuse_reply_open(req, fi); };
        if (!(info.flags & O_TRUNC)) return answerOpen(context, pending, handle, info, answer);
        // The kernel leaves O_TRUNC to the open and shows the file empty once it is answered, so
        // the server's copy is cut before that; a failed cut fails the open, as locally.
        context->volume->setAttributes(
            truncationAttributes(), item,
            [context, req, pending, handle, info, answer](std::optional<fskit::FSItemAttributes> attributes,
                                                          std::optional<Error> error) {
                if (attributes) return answerOpen(context, pending, handle, info, answer);
                context->inodes.recordOpen(handle->inode, handle->modes);
                closeOpen(context, handle, [](std::optional<Error>) {});
                fail(pending, req, error);
            });
    });
}

void onOpendir(fuse_req_t req, fuse_ino_t inode, fuse_file_info* info) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto item = itemOrFail(context, req, pending, inode);
    if (!item) return;
    context->directories.acquire(
        inode,
        [context, item](DirectoryOpens::Done done) {
            context->volume->openItem(item, BrindleVolume::openModeRead, std::move(done));
        },
        [context, req, pending, item, inode, info = *info](std::optional<Error> error) {
            if (error) return fail(pending, req, error);
            answerOpen(context, pending, makeHandle(item, inode, BrindleVolume::openModeRead, true), info,
                       [req](fuse_file_info* fi) { return fuse_reply_open(req, fi); });
        });
}

void onCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* info) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto directory = itemOrFail(context, req, pending, parent);
    if (!directory) return;
    const uint32_t modes = openModesForFlags(info->flags);
    context->volume->createItemNamed(
        FSFileName::nameWithBytes(name), fskit::FSItemTypeFile, directory, creationAttributes(mode),
        [context, req, pending, modes, info = *info, parent, entryName = std::string(name)](
            ItemPtr item, std::optional<FSFileName>, std::optional<Error> error) {
            if (!item) return fail(pending, req, error);
            context->volume->openItem(item, modes, [context, req, pending, item, modes, info, parent,
                                                    entryName](std::optional<Error> error) {
                if (error) return fail(pending, req, error);
                auto handle = makeHandle(item, context->inodes.inodeForNodeID(nodeIDOfItem(*item)), modes);
                auto undo = [context, handle] {
                    context->inodes.recordOpen(handle->inode, handle->modes);
                    closeOpen(context, handle, [](std::optional<Error>) {});
                };
                replyWithEntry(
                    context, req, pending, item, parent, entryName,
                    [context, req, handle, info](const fuse_entry_param& entry) mutable {
                        context->inodes.recordOpen(handle->inode, handle->modes);
                        info.fh = context->addHandle(handle);
                        const int result = fuse_reply_create(req, &entry, &info);
                        if (result != 0) {
                            context->takeHandle(info.fh);
                            closeOpen(context, handle, [](std::optional<Error>) {});
                        }
                        return result;
                    },
                    undo);
            });
        });
}

void onRead(fuse_req_t req, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info*) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto item = itemOrFail(context, req, pending, inode);
    if (!item) return;
    auto buffer = std::make_shared<fskit::FSMutableFileDataBuffer>(size);
    context->volume->readFromFile(item, offset, size, buffer,
                                  [req, pending, buffer](uint64_t count, std::optional<Error> error) {
                                      if (error) return fail(pending, req, error);
                                      pending->deliver([&] {
                                          fuse_reply_buf(req, static_cast<const char*>(buffer->bytes()),
                                                         std::min<uint64_t>(count, buffer->length()));
                                      });
                                  });
}

void onWrite(fuse_req_t req, fuse_ino_t inode, const char* data, size_t size, off_t offset, fuse_file_info*) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto item = itemOrFail(context, req, pending, inode);
    if (!item) return;
    logging::debug("orvel: fuse write ino={} offset={} size={}", inode, offset, size);
    context->volume->writeContents(std::string(data, size), item, offset,
                                   [req, pending, size](uint64_t count, std::optional<Error> error) {
                                       if (error) return fail(pending, req, error);
                                       pending->deliver([&] { fuse_reply_write(req, std::min<uint64_t>(count, size)); });
                                   });
}

void onRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* info) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto handle = context->takeHandle(info->fh);
    if (!handle) return succeed(pending, req);
    closeOpen(context, handle, [req, pending](std::optional<Error> error) {
        if (error) return fail(pending, req, error);
        succeed(pending, req);
    });
}

void onFsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    context->volume->synchronizeWithFlags(synchronizeWait, [req, pending](std::optional<Error> error) {
        if (error) return fail(pending, req, error);
        succeed(pending, req);
    });
}

constexpr int listingAttempts = 3;

// The verifier the volume holds a directory's listings to: bumped by every change it makes.
uint64_t currentVerifierOf(const BrindleItem& directory) {
    std::lock_guard lock(directory.fieldsMutex);
    return directory.directoryVerifier > 1 ? directory.directoryVerifier : 1;
}

// Lists from the kernel's offset with the verifier this handle last saw. A change to the directory
// since then makes the volume refuse the old verifier; the offset is still a position the server
// resumes from (a listing goes on across changes), so the handle takes the current verifier and
// tries again, a bounded number of times, without handing out any entry twice. Restarting the
// listing instead would hand the kernel entries it already has, or skip some.
void listDirectory(const ContextPtr& context, fuse_req_t req, const PendingPtr& pending,
                   const std::shared_ptr<OperationContext::OpenHandle>& handle, size_t size, off_t offset, bool plus,
                   int attemptsLeft) {
    uint64_t verifier = 0;
    bool atKnownEnd = false;
    {
        std::lock_guard lock(handle->listingMutex);
        verifier = handle->listingVerifier;
        atKnownEnd = handle->listingEnd == static_cast<uint64_t>(offset);
    }
    // A reader asks once more past the last entry; the volume already reached the end there, and
    // unless the directory changed through this mount since, that answer stands.
    if (atKnownEnd && offset != 0 && currentVerifierOf(*handle->item) == verifier) {
        pending->deliver([&] { fuse_reply_buf(req, nullptr, 0); });
        return;
    }
    auto packer = std::make_shared<DirectoryPacker>(
        req, size, plus, [context](uint64_t nodeID) { return context->inodes.inodeForNodeID(nodeID); },
        [context](uint64_t nodeID) { return context->volume->trackedItemForNodeID(nodeID); },
        DirectoryPacker::Timeouts{context->options.attrTimeout, context->options.entryTimeout});
    std::optional<fskit::FSItemGetAttributesRequest> attributes;
    if (plus) attributes = allAttributes();
    const uint64_t cookie = static_cast<uint64_t>(offset);
    context->volume->enumerateDirectory(
        handle->item, cookie, verifier, attributes, packer,
        [context, req, pending, handle, size, offset, plus, attemptsLeft, packer, cookie](uint64_t newVerifier,
                                                                                  std::optional<Error> error) {
            if (error) {
                if (offset == 0 || !error->isPosix(foundation::darwin::einval) || attemptsLeft <= 0)
                    return fail(pending, req, error);
                {
                    std::lock_guard lock(handle->listingMutex);
                    handle->listingVerifier = currentVerifierOf(*handle->item);
                }
                listDirectory(context, req, pending, handle, size, offset, plus, attemptsLeft - 1);
                return;
            }
            {
                std::lock_guard lock(handle->listingMutex);
                handle->listingVerifier = newVerifier;
                // A packer that took every entry means the volume ran out of them.
                handle->listingEnd = packer->isFull()
                                         ? std::nullopt
                                         : std::optional<uint64_t>(packer->offsetAfterLastEntry(cookie));
            }
            pending->deliver([&] {
                for (const auto& entry : packer->referencedItems())
                    context->inodes.remember(entry.item, 1, handle->inode, entry.name);
                if (fuse_reply_buf(req, packer->data(), packer->size()) != 0) {
                    for (const auto& entry : packer->referencedItems())
                        reclaim(context,
                                context->inodes.forget(context->inodes.inodeForNodeID(nodeIDOfItem(*entry.item)), 1));
                }
            });
        });
}

void startListing(fuse_req_t req, size_t size, off_t offset, fuse_file_info* info, bool plus) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto handle = context->handle(info->fh);
    if (!handle) return fail(pending, req, EBADF);
    listDirectory(context, req, pending, handle, size, offset, plus, listingAttempts);
}

void onReaddir(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info) {
    startListing(req, size, offset, info, false);
}

void onReaddirplus(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info) {
    startListing(req, size, offset, info, true);
}

void onStatfs(fuse_req_t req, fuse_ino_t) {
    // Synchronous by design: the volume waits at most five seconds for the server.
    const fskit::FSStatFSResult result = contextOf(req)->volume->volumeStatistics();
    struct statvfs status {};
    status.f_bsize = result.blockSize != 0 ? result.blockSize : 4096;
    status.f_frsize = status.f_bsize;
    status.f_blocks = result.totalBlocks;
    status.f_bfree = result.freeBlocks;
    status.f_bavail = result.availableBlocks;
    status.f_files = result.totalFiles;
    status.f_ffree = result.freeFiles;
    status.f_favail = result.freeFiles;
    status.f_namemax = BrindleVolume::maximumNameLength();
    fuse_reply_statfs(req, &status);
}

// Size queries (size 0) get the length; a buffer too small for the value gets ERANGE.
void replyWithXattrBytes(fuse_req_t req, const PendingPtr& pending, const std::string& bytes, size_t size) {
    if (size == 0) return (void)pending->deliver([&] { fuse_reply_xattr(req, bytes.size()); });
    if (bytes.size() > size) return fail(pending, req, ERANGE);
    pending->deliver([&] { fuse_reply_buf(req, bytes.data(), bytes.size()); });
}

void onSetxattr(fuse_req_t req, fuse_ino_t inode, const char* name, const char* value, size_t size, int flags) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto item = itemOrFail(context, req, pending, inode);
    if (!item) return;
    const auto policy = xattrPolicyForFlags(flags);
    if (!policy) return fail(pending, req, EINVAL);
    context->volume->setXattrNamed(FSFileName::nameWithBytes(name), std::string(value, size), item, *policy,
                                   [req, pending](std::optional<Error> error) {
                                       if (error) return fail(pending, req, error);
                                       succeed(pending, req);
                                   });
}

void onGetxattr(fuse_req_t req, fuse_ino_t inode, const char* name, size_t size) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto item = itemOrFail(context, req, pending, inode);
    if (!item) return;
    context->volume->getXattrNamed(FSFileName::nameWithBytes(name), item,
                                   [req, pending, size](std::optional<std::string> value, std::optional<Error> error) {
                                       if (!value) return fail(pending, req, error);
                                       replyWithXattrBytes(req, pending, *value, size);
                                   });
}

void onListxattr(fuse_req_t req, fuse_ino_t inode, size_t size) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto item = itemOrFail(context, req, pending, inode);
    if (!item) return;
    context->volume->listXattrsOfItem(item, [req, pending, size](std::optional<std::vector<FSFileName>> names,
                                                                 std::optional<Error> error) {
        if (!names) return fail(pending, req, error);
        std::string list;
        for (const auto& name : *names) {
            // A name the kernel cannot carry would split the list.
            if (name.data().empty() || name.data().find('\0') != std::string::npos) continue;
            list += name.data();
            list += '\0';
        }
        replyWithXattrBytes(req, pending, list, size);
    });
}

void onRemovexattr(fuse_req_t req, fuse_ino_t inode, const char* name) {
    auto context = contextOf(req);
    auto pending = track(context, req);
    auto item = itemOrFail(context, req, pending, inode);
    if (!item) return;
    context->volume->setXattrNamed(FSFileName::nameWithBytes(name), std::nullopt, item,
                                   BrindleVolume::xattrPolicyDelete, [req, pending](std::optional<Error> error) {
                                       if (error) return fail(pending, req, error);
                                       succeed(pending, req);
                                   });
}

fuse_lowlevel_ops makeOperations() {
    fuse_lowlevel_ops operations{};
    operations.init = onInit;
    operations.lookup = onLookup;
    operations.forget = onForget;
    operations.forget_multi = onForgetMulti;
    operations.getattr = onGetattr;
    operations.setattr = onSetattr;
    operations.readlink = onReadlink;
    operations.mknod = onMknod;
    operations.mkdir = onMkdir;
    operations.unlink = onUnlink;
    operations.rmdir = onRmdir;
    operations.symlink = onSymlink;
    operations.rename = onRename;
    operations.link = onLink;
    operations.open = onOpen;
    operations.read = onRead;
    operations.write = onWrite;
    // No flush: every write is answered only once the server has taken it, so a close has nothing
    // to report, and without a handler the kernel stops sending one per close.
    operations.release = onRelease;
    operations.fsync = onFsync;
    operations.opendir = onOpendir;
    operations.readdir = onReaddir;
    operations.readdirplus = onReaddirplus;
    operations.releasedir = onRelease;
    operations.fsyncdir = onFsync;
    operations.statfs = onStatfs;
    operations.setxattr = onSetxattr;
    operations.getxattr = onGetxattr;
    operations.listxattr = onListxattr;
    operations.removexattr = onRemovexattr;
    operations.create = onCreate;
    return operations;
}

}  // namespace

const fuse_lowlevel_ops& lowLevelOperations() {
    static const fuse_lowlevel_ops operations = makeOperations();
    return operations;
}

}  // namespace brindle::host
