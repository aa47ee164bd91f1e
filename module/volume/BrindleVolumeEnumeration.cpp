#include "module/volume/BrindleVolume.h"
#include "module/volume/BrindleVolumeReplies.h"

#include "platform/log/log.h"
#include "protocol/extensions.h"

#include <limits>

namespace brindle {

using foundation::Error;
namespace darwin = foundation::darwin;
using namespace volumereplies;

namespace {

std::string describeAttributesRequest(const std::optional<fskit::FSItemGetAttributesRequest>& attributes) {
    return attributes ? "wanted=" + std::to_string(attributes->wantedAttributes()) : "(null)";
}

}  // namespace

uint64_t BrindleVolume::nextDirectoryVerifierForItem(BrindleItem& item) {
    std::lock_guard fields(item.fieldsMutex);
    const uint64_t current = item.directoryVerifier;
    const uint64_t next = (current == 0 || current == std::numeric_limits<uint64_t>::max()) ? 1 : current + 1;
    item.directoryVerifier = next;
    item.directoryResumeCookie = 0;
    return next;
}

uint64_t BrindleVolume::currentVerifierOfDirectory(const BrindleItem& directory) {
    std::lock_guard fields(directory.fieldsMutex);
    return directory.directoryVerifier > 1 ? directory.directoryVerifier : 1;
}

void BrindleVolume::invalidateDirectoryEnumerationForNodeID(uint64_t nodeID) {
    const ItemPtr directory = trackedItemForNodeID(nodeID);
    if (!directory) return;
    nextDirectoryVerifierForItem(*directory);
    std::lock_guard fields(directory->fieldsMutex);
    directory->attributesLoaded = false;
}

void BrindleVolume::openDirectoryItem(const ItemPtr& directory, OpenedDirectoryReply reply) {
    rpcClient_->openDirectoryWithRecordForNodeID(
        nodeIDOf(*directory), nameOf(*directory),
        [directory, reply = std::move(reply)](uint64_t handle, std::shared_ptr<BrindleItem> record,
                                              std::optional<Error> error) {
            if (handle == 0) return reply(std::nullopt, errorOrIO(error));
            {
                std::lock_guard fields(directory->fieldsMutex);
                directory->directoryHandleID = handle;
                directory->directoryResumeCookie = 0;
            }
            if (!record) return reply(std::nullopt, std::nullopt);
            applyItemAttributesFromItem(*record, *directory);
            reply(attributesForItem(*directory, std::nullopt), std::nullopt);
        });
}

bool BrindleVolume::opensDirectoriesWithAttributes() {
    return rpcClient_->serverSupports(wire::extension::openDirectoryRecord);
}

void BrindleVolume::closeDirectoryItem(const ItemPtr& directory, ErrorReply reply) {
    uint64_t nodeID, handle;
    {
        std::lock_guard fields(directory->fieldsMutex);
        nodeID = directory->nodeID;
        handle = directory->directoryHandleID;
    }
    if (handle == 0) {
        reply(std::nullopt);
        return;
    }
    rpcClient_->closeDirectoryWithNodeID(
        nodeID, handle, [directory, reply = std::move(reply)](uint64_t remaining, std::optional<Error> error) {
            if (error) {
                reply(error);
                return;
            }
            {
                std::lock_guard fields(directory->fieldsMutex);
                directory->directoryHandleID = remaining;
                if (remaining == 0) directory->directoryResumeCookie = 0;
            }
            reply(std::nullopt);
        });
}

void BrindleVolume::enumerateDirectory(const FSItemPtr& fsDirectory, uint64_t cookie, uint64_t verifier,
                                       const std::optional<fskit::FSItemGetAttributesRequest>& attributes,
                                       PackerPtr packer, VerifierReply reply) {
    const ItemPtr directory = canonicalTrackedItem(brindleItem(fsDirectory));
    logging::debug("orvel: enumerateDirectory nodeID={} cookie={} verifier={} attrs={}",
                   directory ? nodeIDOf(*directory) : 0, cookie, verifier, describeAttributesRequest(attributes));
    if (!directory || itemTypeOf(*directory) != ItemType::Directory) {
        reply(0, Error::posix(darwin::enotdir));
        return;
    }
    uint64_t currentVerifier, handle, nodeID;
    {
        std::lock_guard fields(directory->fieldsMutex);
        nodeID = directory->nodeID;
        currentVerifier = directory->directoryVerifier > 1 ? directory->directoryVerifier : 1;
        if (cookie == 0) directory->directoryResumeCookie = 0;
        handle = directory->directoryHandleID;
    }
    if (cookie != 0 && verifier != currentVerifier) {
        logging::error("orvel: enumerateDirectory stale verifier nodeID={} cookie={} verifier={} currentVerifier={}",
                       nodeID, cookie, verifier, currentVerifier);
        reply(0, Error::posix(darwin::einval));
        return;
    }
    if (handle == 0) {
        reply(0, Error::posix(darwin::ebadf));
        return;
    }
    enumerateDirectoryItem(directory, handle, cookie, currentVerifier, attributes, std::move(packer),
                           enumerationBatchSize, std::move(reply));
}

void BrindleVolume::enumerateDirectoryItem(const ItemPtr& directory, uint64_t handleID, uint64_t cookie,
                                           uint64_t verifier,
                                           const std::optional<fskit::FSItemGetAttributesRequest>& attributes,
                                           PackerPtr packer, uint64_t batchSize, VerifierReply reply) {
    auto self = shared_from_this();
    rpcClient_->enumerateDirectoryWithParentID(
        nodeIDOf(*directory), handleID, cookie, verifier, batchSize,
        [self, directory, handleID, cookie, verifier, attributes, packer = std::move(packer), batchSize,
         reply = std::move(reply)](std::optional<std::vector<ItemPtr>> entries, std::optional<Error> error) mutable {
            if (!entries) {
                const Error failure = errorOrIO(error);
                logging::error("orvel: enumerateDirectory rpc failed error={}", failure);
                reply(0, failure);
                return;
            }
            const size_t count = entries->size();
            const auto cookieOf = [](const ItemPtr& entry) {
                std::lock_guard fields(entry->fieldsMutex);
                return entry->directoryCookie;
            };
            const uint64_t firstCookie = count == 0 ? 0 : cookieOf(entries->front());
            const uint64_t lastCookie = count == 0 ? cookie : cookieOf(entries->back());
            logging::debug(
                "orvel: enumerateDirectory packing {} items firstCookie={} lastCookie={} requestCookie={} "
                "currentVerifier={} handleID={}",
                count, firstCookie, lastCookie, cookie, verifier, handleID);

            // The kernel resumes a listing at an entry's cookie and restarts it at 0: a cookie that
            // is missing or does not grow would hand out the same entries for ever.
            uint64_t previousCookie = cookie;
            for (const ItemPtr& entry : *entries) {
                const uint64_t nextCookie = cookieOf(entry);
                if (nextCookie > previousCookie) {
                    previousCookie = nextCookie;
                    continue;
                }
                logging::error(
                    "orvel: enumerateDirectory cookie does not advance nodeID={} requestCookie={} item={} "
                    "previousCookie={} nextCookie={}",
                    nodeIDOf(*directory), cookie, nameOf(*entry), previousCookie, nextCookie);
                reply(0, Error::posix(darwin::eio));
                return;
            }

            uint64_t resumePoint = cookie;
            for (const ItemPtr& entry : *entries) {
                // Taken from the reply before the entry is shared: once canonical, a concurrent
                // lookup of the same node may overwrite its fields.
                std::string name;
                ItemType type;
                uint64_t nodeID, nextCookie;
                bool loaded;
                {
                    std::lock_guard fields(entry->fieldsMutex);
                    name = entry->name;
                    type = entry->itemType;
                    nodeID = entry->nodeID;
                    nextCookie = entry->directoryCookie;
                    loaded = entry->attributesLoaded;
                }
                std::optional<fskit::FSItemAttributes> entryAttributes;
                if (attributes && loaded) entryAttributes = attributesForItem(*entry, attributes);
                const ItemPtr canonical = self->canonicalItemForItem(entry);
                if (entryAttributes && entryAttributes->mode)
                    // A file still waiting for its final mode is listed with it, as its attributes report it.
                    if (const auto pending = pendingFinalModeOf(*canonical)) entryAttributes->mode = *pending;
                if (!packer->packEntry(fskit::FSFileName::nameWithString(name), static_cast<int64_t>(type), nodeID,
                                       nextCookie, entryAttributes)) {
                    uint64_t directoryVerifier;
                    {
                        std::lock_guard fields(directory->fieldsMutex);
                        directory->directoryResumeCookie = resumePoint;
                        directoryVerifier = directory->directoryVerifier;
                    }
                    // Every listing bigger than the kernel's reply buffer fills a packer, so on Linux
                    // this is routine detail, not progress.
                    logging::debug("orvel: enumerateDirectory packer full after item={} resumeCookie={} verifier={}",
                                  name, resumePoint, directoryVerifier);
                    reply(verifier, std::nullopt);
                    return;
                }
                resumePoint = nextCookie;
            }
            if (count < batchSize) {
                {
                    std::lock_guard fields(directory->fieldsMutex);
                    directory->directoryResumeCookie = 0;
                }
                reply(verifier, std::nullopt);
                return;
            }
            self->enumerateDirectoryItem(directory, handleID, lastCookie, verifier, attributes, std::move(packer),
                                         batchSize, std::move(reply));
        });
}

}  // namespace brindle
