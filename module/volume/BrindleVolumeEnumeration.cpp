#include "module/volume/BrindleVolume.h"
#include "module/volume/BrindleVolumeReplies.h"

#include "platform/log/log.h"
#include "protocol/extensions.h"

#include <algorithm>
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
    // Taken before asking: a change made while the open is under way leaves its batch unused.
    const uint64_t verifier = currentVerifierOfDirectory(*directory);
    rpcClient_->openDirectoryWithRecordForNodeID(
        nodeIDOf(*directory), nameOf(*directory), enumerationBatchSize,
        [directory, verifier, reply = std::move(reply)](uint64_t handle, std::shared_ptr<BrindleItem> record,
                                                        std::optional<FirstBatch> batch, std::optional<Error> error) {
            if (error || (handle == 0 && !(batch && batch->handleClosed))) return reply(std::nullopt, errorOrIO(error));
            {
                std::lock_guard fields(directory->fieldsMutex);
                directory->directoryHandleID = handle;
                directory->directoryResumeCookie = 0;
                directory->directoryHandleClosedByServer = batch && batch->handleClosed;
                directory->directoryBatch.reset();
                if (batch) {
                    const bool whole = batch->entries.size() < enumerationBatchSize;
                    directory->directoryBatch = std::make_shared<DirectoryBatch>(
                        DirectoryBatch{std::move(batch->entries), whole, verifier});
                }
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
        std::lock_guard fields(directory->fieldsMutex);
        directory->directoryBatch.reset();
        directory->directoryHandleClosedByServer = false;
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
                if (remaining == 0) {
                    directory->directoryResumeCookie = 0;
                    directory->directoryBatch.reset();
                }
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
    bool reopen = false;
    std::shared_ptr<DirectoryBatch> batch;
    {
        std::lock_guard fields(directory->fieldsMutex);
        nodeID = directory->nodeID;
        currentVerifier = directory->directoryVerifier > 1 ? directory->directoryVerifier : 1;
        if (cookie == 0) directory->directoryResumeCookie = 0;
        handle = directory->directoryHandleID;
        reopen = handle == 0 && directory->directoryHandleClosedByServer;
        if (cookie == 0 || verifier == currentVerifier) batch = directory->directoryBatch;
        // A batch answers only the listing that began when it came, up to a change to the
        // directory; a read from the start after that listing took it asks the server afresh.
        if (batch && (batch->verifier != currentVerifier || (cookie == 0 && batch->begun))) {
            directory->directoryBatch.reset();
            batch.reset();
        }
        if (batch && cookie == 0) batch->begun = true;
    }
    if (cookie != 0 && verifier != currentVerifier) {
        logging::error("orvel: enumerateDirectory stale verifier nodeID={} cookie={} verifier={} currentVerifier={}",
                       nodeID, cookie, verifier, currentVerifier);
        reply(0, Error::posix(darwin::einval));
        return;
    }
    if (batch) {
        const auto& entries = batch->entries;
        const auto at = cookie == 0 ? entries.begin()
                                    : std::find_if(entries.begin(), entries.end(), [cookie](const ItemPtr& entry) {
                                          std::lock_guard fields(entry->fieldsMutex);
                                          return entry->directoryCookie == cookie;
                                      });
        if (cookie == 0 || at != entries.end()) {
            const size_t from = cookie == 0 ? 0 : static_cast<size_t>(at - entries.begin()) + 1;
            if (!packEntries(directory, entries, from, cookie, currentVerifier, attributes, *packer) || batch->whole) {
                reply(currentVerifier, std::nullopt);
                return;
            }
            uint64_t lastCookie = cookie;
            if (!entries.empty()) {
                std::lock_guard fields(entries.back()->fieldsMutex);
                lastCookie = entries.back()->directoryCookie;
            }
            enumerateDirectoryItem(directory, handle, lastCookie, currentVerifier, attributes, std::move(packer),
                                   enumerationBatchSize, std::move(reply));
            return;
        }
    }
    if (reopen) return reopenDirectoryItem(directory, cookie, currentVerifier, attributes, std::move(packer),
                                           std::move(reply));
    if (handle == 0) {
        reply(0, Error::posix(darwin::ebadf));
        return;
    }
    enumerateDirectoryItem(directory, handle, cookie, currentVerifier, attributes, std::move(packer),
                           enumerationBatchSize, std::move(reply));
}

void BrindleVolume::reopenDirectoryItem(const ItemPtr& directory, uint64_t cookie, uint64_t verifier,
                                        const std::optional<fskit::FSItemGetAttributesRequest>& attributes,
                                        PackerPtr packer, VerifierReply reply) {
    reopenDirectoryOnServer(directory, [self = shared_from_this(), directory, cookie, verifier, attributes,
                                        packer = std::move(packer), reply = std::move(reply)](
                                           uint64_t handle, std::optional<Error> error) mutable {
        if (handle == 0) return reply(0, errorOrIO(error));
        self->enumerateDirectoryItem(directory, handle, cookie, verifier, attributes, std::move(packer),
                                     enumerationBatchSize, std::move(reply));
    });
}

void BrindleVolume::reopenDirectoryOnServer(const ItemPtr& directory,
                                            std::function<void(uint64_t, std::optional<Error>)> then) {
    const uint64_t nodeID = nodeIDOf(*directory);
    rpcClient_->openDirectoryWithNodeID(nodeID, [self = shared_from_this(), directory, nodeID,
                                                 then = std::move(then)](uint64_t opened, std::optional<Error> error) {
        if (opened == 0) return then(0, std::move(error));
        uint64_t handle = opened;
        {
            std::lock_guard fields(directory->fieldsMutex);
            // Another caller opened it again first; one handle serves both.
            if (directory->directoryHandleID != 0) {
                handle = directory->directoryHandleID;
            } else {
                directory->directoryHandleID = opened;
                directory->directoryHandleClosedByServer = false;
            }
        }
        if (handle != opened) self->rpcClient_->closeDirectoryWithNodeID(nodeID, opened, [](uint64_t, std::optional<Error>) {});
        then(handle, std::nullopt);
    });
}

bool BrindleVolume::packEntries(const ItemPtr& directory, const std::vector<ItemPtr>& entries, size_t from,
                                uint64_t cookie, uint64_t verifier,
                                const std::optional<fskit::FSItemGetAttributesRequest>& attributes,
                                fskit::FSDirectoryEntryPacker& packer) {
    uint64_t resumePoint = cookie;
    for (size_t index = from; index < entries.size(); ++index) {
        const ItemPtr& entry = entries[index];
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
        const ItemPtr canonical = canonicalItemForItem(entry);
        if (entryAttributes && entryAttributes->mode)
            // A file still waiting for its final mode is listed with it, as its attributes report it.
            if (const auto pending = pendingFinalModeOf(*canonical)) entryAttributes->mode = *pending;
        if (!packer.packEntry(fskit::FSFileName::nameWithString(name), static_cast<int64_t>(type), nodeID, nextCookie,
                              entryAttributes)) {
            {
                std::lock_guard fields(directory->fieldsMutex);
                directory->directoryResumeCookie = resumePoint;
            }
            // Every listing bigger than the kernel's reply buffer fills a packer, so on Linux
            // this is routine detail, not progress.
            logging::debug("orvel: enumerateDirectory packer full after item={} resumeCookie={} verifier={}", name,
                           resumePoint, verifier);
            return false;
        }
        resumePoint = nextCookie;
    }
    return true;
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

            if (!self->packEntries(directory, *entries, 0, cookie, verifier, attributes, *packer)) {
                reply(verifier, std::nullopt);
                return;
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
