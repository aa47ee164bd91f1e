#include "module/volume/BrindleVolume.h"
#include "module/volume/BrindleVolumeReplies.h"
#include "protocol/extensions.h"
#include "protocol/wire.h"

namespace brindle {

using namespace volumereplies;
using foundation::Error;
namespace darwin = foundation::darwin;

namespace {

// What the final-mode change sends: the item's place and its pending mode.
struct FinalMode {
    uint64_t nodeID;
    uint64_t parentNodeID;
    std::string name;
    uint32_t mode;
};

std::optional<FinalMode> finalModeChangeOf(const BrindleItem& item) {
    std::lock_guard fields(item.fieldsMutex);
    if (!item.hasPendingFinalMode) return std::nullopt;
    return FinalMode{item.nodeID, item.parentNodeID, item.name, item.pendingFinalMode & 0777};
}

}  // namespace

void BrindleVolume::openItem(const FSItemPtr& item, uint32_t modes, ErrorReply reply) {
    const auto opened = canonicalTrackedItem(brindleItem(item));
    if ((modes & openModeWrite) != 0 && isReadonlyVolume()) return reply(readOnlyError());
    if (!opened) return reply(Error::posix(darwin::einval));
    switch (itemTypeOf(*opened)) {
        case ItemType::Directory:
            return openDirectoryItem(opened, [reply = std::move(reply)](std::optional<fskit::FSItemAttributes>,
                                                                       std::optional<Error> error) { reply(error); });
        case ItemType::SymbolicLink:
            return reply(std::nullopt);
        default:
            rpcClient_->openItemWithNodeID(nodeIDOf(*opened), modes,
                                           [reply](bool success, std::optional<Error> error) {
                                               if (!success) return reply(errorOrIO(error));
                                               reply(std::nullopt);
                                           });
    }
}

void BrindleVolume::openDirectory(const FSItemPtr& item, OpenedDirectoryReply reply) {
    const auto opened = canonicalTrackedItem(brindleItem(item));
    if (!isItemOfType(opened, ItemType::Directory)) return reply(std::nullopt, Error::posix(darwin::enotdir));
    openDirectoryItem(opened, std::move(reply));
}

void BrindleVolume::closeItem(const FSItemPtr& item, uint32_t keepingModes, ErrorReply reply) {
    const auto closed = canonicalTrackedItem(brindleItem(item));
    if (!closed) return reply(Error::posix(darwin::einval));
    switch (itemTypeOf(*closed)) {
        case ItemType::Directory:
            return closeDirectoryItem(closed, std::move(reply));
        case ItemType::SymbolicLink:
            return reply(std::nullopt);
        default:
            break;
    }
    const auto finalMode = keepingModes == 0 ? finalModeChangeOf(*closed) : std::nullopt;
    if (!finalMode) {
        return rpcClient_->closeItemWithNodeID(nodeIDOf(*closed), keepingModes,
                                               [reply](bool success, std::optional<Error> error) {
                                                   if (!success) return reply(errorOrIO(error));
                                                   reply(std::nullopt);
                                               });
    }
    // The mode goes first, while the server still holds the file open: it can then reach the file
    // through its descriptor even when the name it was created under is gone.
    std::weak_ptr<BrindleVolume> volume = shared_from_this();
    rpcClient_->setAttributesForNodeID(
        finalMode->nodeID, finalMode->parentNodeID, finalMode->name, boost::json::value(finalMode->mode), std::nullopt,
        std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
        [volume, closed, reply](ItemPtr updated, std::optional<Error> setError) {
            const auto alive = volume.lock();
            if (!alive) return reply(Error::posix(darwin::eio));
            if (updated) {
                const auto canonical = alive->canonicalItemForItem(updated);
                std::lock_guard fields(canonical->fieldsMutex);
                canonical->hasPendingFinalMode = false;
                canonical->pendingFinalMode = 0;
            }
            const std::optional<Error> modeError = updated ? std::nullopt : std::optional(errorOrIO(setError));
            alive->rpcClient_->closeItemWithNodeID(
                nodeIDOf(*closed), 0, [modeError, reply](bool success, std::optional<Error> error) {
                    if (!success) return reply(errorOrIO(error));
                    reply(modeError);
                });
        });
}

void BrindleVolume::readFromFile(const FSItemPtr& item, int64_t offset, uint64_t length, BufferPtr buffer,
                                 CountReply reply) {
    const auto file = brindleItem(item);
    if (!isItemOfType(file, ItemType::File)) return reply(0, Error::posix(darwin::eisdir));
    if (offset < 0 || !buffer) return reply(0, Error::posix(darwin::einval));
    rpcClient_->readFileWithNodeID(nodeIDOf(*file), static_cast<uint64_t>(offset), length, std::move(buffer),
                                   [reply](uint64_t count, std::optional<Error> error) {
                                       if (error) return reply(0, error);
                                       reply(count, std::nullopt);
                                   });
}

void BrindleVolume::writeContents(std::string data, const FSItemPtr& item, int64_t offset, CountReply reply) {
    if (isReadonlyVolume()) return reply(0, readOnlyError());
    const auto file = brindleItem(item);
    if (!file || offset < 0) return reply(0, Error::posix(darwin::einval));
    rpcClient_->writeFileWithNodeID(
        nodeIDOf(*file), static_cast<uint64_t>(offset), std::move(data),
        [file, offset, reply](uint64_t written, std::optional<Error> error) {
            if (error) return reply(0, error);
            {
                // Concurrent writes may finish in any order: the size only ever grows to the
                // furthest end seen.
                std::lock_guard fields(file->fieldsMutex);
                const uint64_t end = static_cast<uint64_t>(offset) + written;
                if (end > file->size) {
                    file->size = end;
                    file->allocSize = end;
                }
                file->attributesLoaded = true;
            }
            reply(written, std::nullopt);
        });
}

bool BrindleVolume::appendsAtServer() const { return rpcClient_->serverSupports(wire::extension::append); }

void BrindleVolume::appendContents(std::string data, const FSItemPtr& item, AppendReply reply) {
    if (isReadonlyVolume()) return reply(std::nullopt, readOnlyError());
    const auto file = brindleItem(item);
    if (!file) return reply(std::nullopt, Error::posix(darwin::einval));
    rpcClient_->appendToFileWithNodeID(
        nodeIDOf(*file), std::move(data),
        [file, reply](std::optional<AppendedBytes> appended, std::optional<Error> error) {
            if (error) return reply(std::nullopt, error);
            {
                std::lock_guard fields(file->fieldsMutex);
                if (appended->size > file->size) {
                    file->size = appended->size;
                    file->allocSize = appended->size;
                }
                file->attributesLoaded = true;
            }
            reply(appended, std::nullopt);
        });
}

}  // namespace brindle
