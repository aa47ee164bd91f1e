#include "module/volume/BrindleVolume.h"
#include "module/volume/BrindleVolumeReplies.h"

namespace brindle {

using namespace volumereplies;
using foundation::Error;
namespace darwin = foundation::darwin;

namespace {

Error notADirectory() { return Error::posix(darwin::enotdir); }
Error invalidArgument() { return Error::posix(darwin::einval); }

}  // namespace

void BrindleVolume::lookupItemNamed(const fskit::FSFileName& name, const FSItemPtr& directory, ItemNameReply reply) {
    const auto parent = brindleItem(directory);
    if (!isItemOfType(parent, ItemType::Directory)) return reply(nullptr, std::nullopt, notADirectory());
    if (const auto refusal = nameRefusal(name)) return reply(nullptr, std::nullopt, refusal);
    rpcClient_->lookupItemNamed(*name.string(), nodeIDOf(*parent),
                                [self = shared_from_this(), reply](ItemPtr found, std::optional<Error> error) {
                                    if (!found) return reply(nullptr, std::nullopt, errorOrIO(error));
                                    auto canonical = self->canonicalItemForItem(found);
                                    reply(canonical, fskit::FSFileName::nameWithString(nameOf(*canonical)),
                                          std::nullopt);
                                });
}

void BrindleVolume::reclaimItem(const FSItemPtr& item, ErrorReply reply) {
    if (const auto reclaimed = brindleItem(item)) {
        untrackItem(reclaimed);
        // A newer object for the node holds it still; otherwise the server may let it go.
        const uint64_t nodeID = nodeIDOf(*reclaimed);
        if (nodeID != 0 && !trackedItemForNodeID(nodeID)) rpcClient_->releaseNode(nodeID);
    }
    reply(std::nullopt);
}

void BrindleVolume::readSymbolicLink(const FSItemPtr& item, NameReply reply) {
    const auto link = brindleItem(item);
    if (!isItemOfType(link, ItemType::SymbolicLink)) return reply(std::nullopt, invalidArgument());
    rpcClient_->readSymbolicLinkWithNodeID(
        nodeIDOf(*link), [reply](std::optional<std::string> target, std::optional<Error> error) {
            if (!target) return reply(std::nullopt, errorOrIO(error));
            reply(fskit::FSFileName::nameWithString(*target), std::nullopt);
        });
}

void BrindleVolume::createItemNamed(const fskit::FSFileName& name, int64_t type, const FSItemPtr& directory,
                                    const SetAttributesRequestPtr& attributes, ItemNameReply reply) {
    createNamed(name, type, directory, attributes, std::nullopt,
                [reply = std::move(reply)](ItemPtr item, std::optional<fskit::FSFileName> created, bool,
                                           std::optional<Error> error) {
                    reply(std::move(item), std::move(created), std::move(error));
                });
}

void BrindleVolume::createOpenedFileNamed(const fskit::FSFileName& name, const FSItemPtr& directory,
                                          const SetAttributesRequestPtr& attributes, uint32_t modes,
                                          CreatedFileReply reply) {
    createNamed(name, fskit::FSItemTypeFile, directory, attributes, modes, std::move(reply));
}

void BrindleVolume::createNamed(const fskit::FSFileName& name, int64_t type, const FSItemPtr& directory,
                                const SetAttributesRequestPtr& attributes, std::optional<uint32_t> openModes,
                                CreatedFileReply reply) {
    if (isReadonlyVolume()) return reply(nullptr, std::nullopt, false, readOnlyError());
    const auto parent = brindleItem(directory);
    if (!isItemOfType(parent, ItemType::Directory)) return reply(nullptr, std::nullopt, false, notADirectory());
    if (const auto refusal = nameRefusal(name)) return reply(nullptr, std::nullopt, false, refusal);
    const std::string text = *name.string();

    const auto itemType = static_cast<ItemType>(type);
    uint32_t requestedMode = defaultModeForNewItemType(itemType);
    if (attributes && attributes->isValid(fskit::FSItemAttributeMode) && attributes->mode)
        requestedMode = *attributes->mode & 0777;
    // A file its owner cannot write could not be filled after creation: it is created writable
    // and gets its requested mode at the last close.
    const bool pending = itemType == ItemType::File && (requestedMode & 0200) == 0;
    const uint32_t creationMode = pending ? requestedMode | 0200 : requestedMode;
    if (itemType != ItemType::File && itemType != ItemType::Directory)
        return reply(nullptr, std::nullopt, false, notSupportedError());

    const uint64_t parentID = nodeIDOf(*parent);
    auto created = [self = shared_from_this(), parentID, pending, requestedMode, attributes,
                    reply](ItemPtr item, bool opened, std::optional<Error> error) {
        if (!item) return reply(nullptr, std::nullopt, false, errorOrIO(error));
        self->invalidateDirectoryEnumerationForNodeID(parentID);
        auto canonical = self->canonicalItemForItem(item);
        {
            std::lock_guard fields(canonical->fieldsMutex);
            canonical->hasPendingFinalMode = pending;
            canonical->pendingFinalMode = pending ? requestedMode : 0;
        }
        applySetAttributesRequest(
            attributes, canonical, true,
            [self, canonical, opened, reply](std::optional<fskit::FSItemAttributes>, std::optional<Error> applyError) {
                if (!applyError) {
                    return reply(canonical, fskit::FSFileName::nameWithString(nameOf(*canonical)), opened,
                                 std::nullopt);
                }
                if (!opened) return reply(nullptr, std::nullopt, false, applyError);
                // The create's open is not handed on, so it is closed here.
                self->rpcClient_->closeItemWithNodeID(nodeIDOf(*canonical), 0,
                                                      [reply, applyError](bool, std::optional<Error>) {
                                                          reply(nullptr, std::nullopt, false, applyError);
                                                      });
            });
    };
    const auto mode = static_cast<int32_t>(creationMode);
    if (itemType == ItemType::Directory) {
        return rpcClient_->createDirectoryNamed(text, parentID, mode,
                                                [created = std::move(created)](ItemPtr item, std::optional<Error> error) {
                                                    created(std::move(item), false, std::move(error));
                                                });
    }
    if (openModes) return rpcClient_->createFileNamed(text, parentID, mode, *openModes, std::move(created));
    rpcClient_->createFileNamed(text, parentID, mode, [created = std::move(created)](ItemPtr item, std::optional<Error> error) {
        created(std::move(item), false, std::move(error));
    });
}

void BrindleVolume::createSymbolicLinkNamed(const fskit::FSFileName& name, const FSItemPtr& directory,
                                            const SetAttributesRequestPtr& attributes,
                                            const fskit::FSFileName& linkContents, ItemNameReply reply) {
    if (isReadonlyVolume()) return reply(nullptr, std::nullopt, readOnlyError());
    const auto parent = brindleItem(directory);
    if (!isItemOfType(parent, ItemType::Directory)) return reply(nullptr, std::nullopt, notADirectory());
    if (const auto refusal = nameRefusal(name)) return reply(nullptr, std::nullopt, refusal);
    if (const auto refusal = nameRefusal(linkContents)) return reply(nullptr, std::nullopt, refusal);
    // A link's own mode means nothing here; claiming it keeps FSKit from applying it afterwards.
    if (attributes && attributes->isValid(fskit::FSItemAttributeMode))
        attributes->consumedAttributes |= fskit::FSItemAttributeMode;

    const uint64_t parentID = nodeIDOf(*parent);
    rpcClient_->createSymbolicLinkNamed(
        *name.string(), parentID, *linkContents.string(),
        [self = shared_from_this(), parentID, reply](ItemPtr item, std::optional<Error> error) {
            if (!item) return reply(nullptr, std::nullopt, errorOrIO(error));
            self->invalidateDirectoryEnumerationForNodeID(parentID);
            auto canonical = self->canonicalItemForItem(item);
            reply(canonical, fskit::FSFileName::nameWithString(nameOf(*canonical)), std::nullopt);
        });
}

void BrindleVolume::createLinkToItem(const FSItemPtr&, const fskit::FSFileName&, const FSItemPtr&, NameReply reply) {
    reply(std::nullopt, notSupportedError());
}

void BrindleVolume::removeItem(const FSItemPtr& item, const fskit::FSFileName& name, const FSItemPtr& directory,
                               ErrorReply reply) {
    if (isReadonlyVolume()) return reply(readOnlyError());
    const auto parent = brindleItem(directory);
    if (!isItemOfType(parent, ItemType::Directory)) return reply(notADirectory());
    if (const auto refusal = nameRefusal(name)) return reply(refusal);
    const std::string text = *name.string();

    const auto removed = brindleItem(item);
    // Its link count and change time move with the name.
    if (removed) dropChangedAttributesOfNodeID(nodeIDOf(*removed));
    const uint64_t parentID = nodeIDOf(*parent);
    auto done = [self = shared_from_this(), parentID, removed, reply](bool success, std::optional<Error> error) {
        if (!success) return reply(errorOrIO(error));
        self->invalidateDirectoryEnumerationForNodeID(parentID);
        if (removed) self->untrackItem(removed);
        reply(std::nullopt);
    };
    if (!isItemOfType(removed, ItemType::Directory)) return rpcClient_->removeFileNamed(text, parentID, std::move(done));
    auto remove = [self = shared_from_this(), text, parentID, done = std::move(done)]() mutable {
        self->rpcClient_->removeDirectoryNamed(text, parentID, std::move(done));
    };
    keepDirectoryOpenOnServer(removed, std::move(remove));
}

void BrindleVolume::keepDirectoryOpenOnServer(const ItemPtr& directory, std::function<void()> then) {
    bool reopen;
    {
        std::lock_guard fields(directory->fieldsMutex);
        reopen = directory->directoryHandleID == 0 && directory->directoryHandleClosedByServer;
    }
    if (!reopen) return then();
    // Opened again where the server let the handle go after a whole first batch: without a handle
    // the server cannot reach the directory once its name is gone, and a descriptor still open on
    // it must go on answering (fstat shows no links) as on a local disk.
    reopenDirectoryOnServer(directory, [then = std::move(then)](uint64_t, std::optional<Error>) { then(); });
}

void BrindleVolume::renameItem(const FSItemPtr& item, const FSItemPtr& sourceDirectory,
                               const fskit::FSFileName& sourceName, const fskit::FSFileName& destinationName,
                               const FSItemPtr& destinationDirectory, const FSItemPtr& overItem, NameReply reply) {
    if (isReadonlyVolume()) return reply(std::nullopt, readOnlyError());
    const auto source = brindleItem(sourceDirectory);
    const auto destination = brindleItem(destinationDirectory);
    if (!isItemOfType(source, ItemType::Directory) || !isItemOfType(destination, ItemType::Directory))
        return reply(std::nullopt, notADirectory());
    if (const auto refusal = nameRefusal(sourceName)) return reply(std::nullopt, refusal);
    if (const auto refusal = nameRefusal(destinationName)) return reply(std::nullopt, refusal);
    const std::string fromName = *sourceName.string();
    const std::string toName = *destinationName.string();

    const auto moved = brindleItem(item);
    // The moved item's change time moves, and the replaced one's link count.
    for (const auto& changed : {moved, brindleItem(overItem)})
        if (changed) dropChangedAttributesOfNodeID(nodeIDOf(*changed));
    const uint64_t sourceID = nodeIDOf(*source);
    const uint64_t destinationID = nodeIDOf(*destination);
    rpcClient_->renameItemNamed(
        fromName, sourceID, toName, destinationID,
        [self = shared_from_this(), moved, sourceID, destinationID, toName, reply](
            bool success, std::optional<Error> error) {
            if (!success) return reply(std::nullopt, errorOrIO(error));
            self->invalidateDirectoryEnumerationForNodeID(sourceID);
            if (destinationID != sourceID) self->invalidateDirectoryEnumerationForNodeID(destinationID);
            if (moved) {
                std::lock_guard fields(moved->fieldsMutex);
                moved->name = toName;
                moved->parentNodeID = destinationID;
            }
            reply(fskit::FSFileName::nameWithString(toName), std::nullopt);
        });
}

}  // namespace brindle
