#include "host/fuse/ops/listing_operations.h"

#include "host/fuse/ops/directory_packer.h"
#include "host/fuse/ops/open_recovery.h"
#include "host/fuse/requests/kernel_request.h"
#include "platform/foundation/errno_table.h"
#include "platform/log/log.h"

#include <cerrno>

namespace brindle::host {

namespace {

using HandlePtr = std::shared_ptr<OpenHandle>;

constexpr int listingAttempts = 3;

std::shared_ptr<DirectoryPacker> packerFor(const KernelRequest& request, size_t size, bool plus) {
    const auto& context = request.context();
    return std::make_shared<DirectoryPacker>(
        size, plus, [context](uint64_t nodeID) { return context->inodes.inodeForNodeID(nodeID); },
        [context](uint64_t nodeID) { return context->volume->trackedItemForNodeID(nodeID); },
        DirectoryPacker::Timeouts{context->cacheOptions().attrTimeout, context->cacheOptions().entryTimeout},
        context->options.presentation);
}

// The volume tracks an item for every entry it lists; those the kernel was not handed go again
// unless it holds them otherwise: a plain listing of N files would otherwise keep N items for the
// life of the mount.
void releaseUnhanded(OperationContext& context, const DirectoryPacker& packer, bool referencedToo) {
    if (referencedToo)
        for (const auto& entry : packer.referencedItems()) context.lookups.releaseUnreferenced(entry.item);
    for (const uint64_t nodeID : packer.unreferencedNodeIDs())
        context.lookups.releaseUnreferenced(context.volume->trackedItemForNodeID(nodeID));
}

// Sends the packed entries; those that carry a reference (readdirplus) are counted by the
// lookup-count rule.
void replyWithListing(const KernelRequest& request, const HandlePtr& handle, const DirectoryPacker& packer) {
    const auto& context = request.context();
    std::vector<LookupCounts::Entry> entries;
    for (const auto& entry : packer.referencedItems()) entries.push_back({entry.item, handle->inode, entry.name});
    bool sent = false;
    request.deliver([&](KernelReply& reply) {
        sent = context->lookups.handOver(entries, [&] { return reply.buffer(packer.data(), packer.size()); });
    });
    releaseUnhanded(*context, packer, !sent);
    if (logging::debugEnabled())
        logging::debug("orvel: fuse listing ino={} entries={} tracked={}", handle->inode, packer.entryCount(),
                       context->volume->snapshotTrackedItems().size());
}

// Lists from the kernel's offset with the verifier this handle last saw. A change to the directory
// since then makes the volume refuse the old verifier; the offset is still a position the server
// resumes from (a listing goes on across changes), so the handle takes the current verifier and
// tries again, a bounded number of times, without handing out any entry twice. Restarting the
// listing instead would hand the kernel entries it already has, or skip some.
void listDirectory(const KernelRequest& request, const HandlePtr& handle, size_t size, off_t offset, bool plus,
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
    if (atKnownEnd && offset != 0 && BrindleVolume::currentVerifierOfDirectory(*handle->item) == verifier) {
        request.deliver([](KernelReply& reply) { reply.buffer(nullptr, 0); });
        return;
    }
    auto packer = packerFor(request, size, plus);
    std::optional<fskit::FSItemGetAttributesRequest> attributes;
    if (plus) attributes = allAttributes();
    const uint64_t cookie = static_cast<uint64_t>(offset);
    request.volume().enumerateDirectory(
        handle->item, cookie, verifier, attributes, packer,
        [request, handle, size, offset, plus, attemptsLeft, packer, cookie](uint64_t newVerifier,
                                                                            std::optional<foundation::Error> error) {
            if (error) {
                releaseUnhanded(*request.context(), *packer, true);
                if (offset == 0 || !error->isPosix(foundation::darwin::einval) || attemptsLeft <= 0)
                    return request.fail(error);
                {
                    std::lock_guard lock(handle->listingMutex);
                    handle->listingVerifier = BrindleVolume::currentVerifierOfDirectory(*handle->item);
                    // The end seen before the change may have moved.
                    handle->listingEnd.reset();
                }
                listDirectory(request, handle, size, offset, plus, attemptsLeft - 1);
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
            replyWithListing(request, handle, *packer);
        });
}

void startListing(const KernelRequest& request, size_t size, off_t offset, fuse_file_info* info, bool plus) {
    auto handle = request.context()->handles.find(info->fh);
    if (!handle) return request.fail(EBADF);
    if (!request.generationOrFail() || !openUsableOrFail(request, *handle, nullptr)) return;
    listDirectory(request, handle, size, offset, plus, listingAttempts);
}

}  // namespace

void onReaddir(const KernelRequest& request, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info) {
    startListing(request, size, offset, info, false);
}

void onReaddirplus(const KernelRequest& request, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info) {
    startListing(request, size, offset, info, true);
}

}  // namespace brindle::host
