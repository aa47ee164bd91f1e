#include "module/volume/BrindleVolume.h"
#include "module/volume/BrindleVolumeReplies.h"

namespace brindle {

using fskit::FSItemAttributes;
using foundation::Error;
namespace darwin = foundation::darwin;
using namespace volumereplies;

namespace {

constexpr uint64_t neverSettableAttributes = fskit::FSItemAttributeType | fskit::FSItemAttributeLinkCount |
                                             fskit::FSItemAttributeAllocSize | fskit::FSItemAttributeFileID |
                                             fskit::FSItemAttributeParentID | fskit::FSItemAttributeChangeTime;
constexpr uint64_t sentAttributes = fskit::FSItemAttributeMode | fskit::FSItemAttributeUID | fskit::FSItemAttributeGID |
                                    fskit::FSItemAttributeSize | fskit::FSItemAttributeAccessTime |
                                    fskit::FSItemAttributeModifyTime;
constexpr uint64_t acceptedUnsentAttributes =
    fskit::FSItemAttributeBirthTime | fskit::FSItemAttributeBackupTime | fskit::FSItemAttributeAddedTime;

bool anyValid(const fskit::FSItemSetAttributesRequest& request, uint64_t attributes) {
    for (uint64_t bit = 1; bit != 0 && bit <= attributes; bit <<= 1)
        if ((attributes & bit) != 0 && request.isValid(bit)) return true;
    return false;
}

boost::json::value timeSeconds(const timespec& time) { return static_cast<int64_t>(time.tv_sec); }
boost::json::value timeNanoseconds(const timespec& time) { return static_cast<int64_t>(time.tv_nsec); }

}  // namespace

bool BrindleVolume::isAttributeWanted(uint64_t attribute,
                                      const std::optional<fskit::FSItemGetAttributesRequest>& request) {
    return !request || request->isAttributeWanted(attribute);
}

FSItemAttributes BrindleVolume::attributesForItem(const BrindleItem& item,
                                                  const std::optional<fskit::FSItemGetAttributesRequest>& request) {
    const uint32_t mode = effectiveModeForItem(item);
    std::lock_guard fields(item.fieldsMutex);
    FSItemAttributes attributes;
    const auto wanted = [&](uint64_t bit) { return isAttributeWanted(bit, request); };
    if (wanted(fskit::FSItemAttributeType)) attributes.type = static_cast<int64_t>(item.itemType);
    if (wanted(fskit::FSItemAttributeMode)) attributes.mode = mode;
    if (wanted(fskit::FSItemAttributeLinkCount)) attributes.linkCount = item.linkCount;
    if (wanted(fskit::FSItemAttributeUID)) attributes.uid = item.uid;
    if (wanted(fskit::FSItemAttributeGID)) attributes.gid = item.gid;
    if (wanted(fskit::FSItemAttributeFlags)) attributes.flags = 0;
    if (wanted(fskit::FSItemAttributeSize)) attributes.size = item.size;
    if (wanted(fskit::FSItemAttributeAllocSize)) attributes.allocSize = item.allocSize;
    if (wanted(fskit::FSItemAttributeFileID)) attributes.fileID = item.nodeID;
    if (wanted(fskit::FSItemAttributeParentID)) attributes.parentID = item.parentNodeID;
    if (wanted(fskit::FSItemAttributeAccessTime)) attributes.accessTime = item.accessTime;
    if (wanted(fskit::FSItemAttributeModifyTime)) attributes.modifyTime = item.modifyTime;
    if (wanted(fskit::FSItemAttributeChangeTime)) attributes.changeTime = item.changeTime;
    if (wanted(fskit::FSItemAttributeBirthTime)) attributes.birthTime = item.birthTime;
    if (wanted(fskit::FSItemAttributeBackupTime)) attributes.backupTime = item.birthTime;
    if (wanted(fskit::FSItemAttributeAddedTime)) attributes.addedTime = item.birthTime;
    if (wanted(fskit::FSItemAttributeSupportsLimitedXAttrs)) attributes.supportsLimitedXAttrs = false;
    if (wanted(fskit::FSItemAttributeInhibitKernelOffloadedIO)) attributes.inhibitKernelOffloadedIO = false;
    return attributes;
}

void BrindleVolume::refreshAttributesForItem(const ItemPtr& item, SuccessReply reply) {
    const ItemAddress address = addressOf(*item);
    rpcClient_->fetchAttributesForNodeID(
        address.nodeID, address.parentID, address.name,
        [item, reply = std::move(reply)](std::shared_ptr<BrindleItem> record, std::optional<Error> error) {
            if (!record) {
                reply(false, error);
                return;
            }
            applyItemAttributesFromItem(*record, *item);
            reply(true, std::nullopt);
        });
}

void BrindleVolume::getAttributes(const fskit::FSItemGetAttributesRequest& request, const FSItemPtr& fsItem,
                                  AttributesReply reply) {
    const ItemPtr item = brindleItem(fsItem);
    if (!item || nodeIDOf(*item) == 0) {
        reply(std::nullopt, Error::posix(darwin::enoent));
        return;
    }
    // Asked every time: the kernel's attribute timeout is what bounds re-fetching, and a cached
    // answer would hide every change made behind the mount.
    refreshAttributesForItem(
        item, [item, request, reply = std::move(reply)](bool success, std::optional<Error> error) {
            if (!success) {
                reply(std::nullopt, errorOrIO(error));
                return;
            }
            reply(attributesForItem(*item, request), std::nullopt);
        });
}

void BrindleVolume::adoptChangedRecord(const ItemPtr& record) {
    const ItemPtr target = trackedItemForNodeID(nodeIDOf(*record));
    if (!target) return;
    {
        std::scoped_lock fields(record->fieldsMutex, target->fieldsMutex);
        if (record->itemType != target->itemType) return;
        if (record->name.empty()) record->name = target->name;
    }
    applyItemAttributesFromItem(*record, *target);
    auto attributes = attributesForItem(*target, std::nullopt);
    std::lock_guard fields(target->fieldsMutex);
    target->changedRecord = std::move(attributes);
    target->changedRecordArrived = std::chrono::steady_clock::now();
}

std::optional<BrindleVolume::ChangedAttributes> BrindleVolume::takeChangedAttributes(
    const FSItemPtr& fsItem, std::chrono::steady_clock::duration maxAge) {
    const ItemPtr item = brindleItem(fsItem);
    if (!item) return std::nullopt;
    std::lock_guard fields(item->fieldsMutex);
    if (!item->changedRecord) return std::nullopt;
    const auto age = std::chrono::steady_clock::now() - item->changedRecordArrived;
    auto attributes = std::move(*item->changedRecord);
    item->changedRecord.reset();
    if (age >= maxAge) return std::nullopt;
    return ChangedAttributes{std::move(attributes), age};
}

void BrindleVolume::dropChangedAttributesOfNodeID(uint64_t nodeID) {
    const ItemPtr item = trackedItemForNodeID(nodeID);
    if (!item) return;
    std::lock_guard fields(item->fieldsMutex);
    item->changedRecord.reset();
}

void BrindleVolume::dropAllChangedAttributes() {
    for (const ItemPtr& item : snapshotTrackedItems()) {
        std::lock_guard fields(item->fieldsMutex);
        item->changedRecord.reset();
    }
}

void BrindleVolume::setAttributes(const SetAttributesRequestPtr& request, const FSItemPtr& fsItem,
                                  AttributesReply reply) {
    if (isReadonlyVolume()) {
        reply(std::nullopt, readOnlyError());
        return;
    }
    ItemPtr item = brindleItem(fsItem);
    if (!item) {
        reply(std::nullopt, Error::posix(darwin::enoent));
        return;
    }
    item = canonicalTrackedItem(item);
    if (nodeIDOf(*item) == 0) {
        reply(std::nullopt, Error::posix(darwin::enoent));
        return;
    }
    if (anyValid(*request, neverSettableAttributes)) {
        reply(std::nullopt, Error::posix(darwin::einval));
        return;
    }
    if (!anyValid(*request, sentAttributes)) {
        if (!anyValid(*request, acceptedUnsentAttributes)) {
            reply(std::nullopt, Error::posix(darwin::einval));
            return;
        }
        reply(attributesForItem(*item, std::nullopt), std::nullopt);
        return;
    }
    if (request->size && itemTypeOf(*item) != ItemType::File) {
        reply(std::nullopt, Error::posix(darwin::eperm));
        return;
    }

    std::optional<boost::json::value> mode, uid, gid, size, accessSec, accessNsec, modifySec, modifyNsec;
    if (request->mode) mode = static_cast<uint16_t>(*request->mode & 0777);
    if (request->uid) uid = *request->uid;
    if (request->gid) gid = *request->gid;
    if (request->size) size = *request->size;
    if (request->accessTime) {
        accessSec = timeSeconds(*request->accessTime);
        accessNsec = timeNanoseconds(*request->accessTime);
    }
    if (request->modifyTime) {
        modifySec = timeSeconds(*request->modifyTime);
        modifyNsec = timeNanoseconds(*request->modifyTime);
    }
    uint64_t consumed = 0;
    if (mode) consumed |= fskit::FSItemAttributeMode;
    if (uid) consumed |= fskit::FSItemAttributeUID;
    if (gid) consumed |= fskit::FSItemAttributeGID;
    if (size) consumed |= fskit::FSItemAttributeSize | fskit::FSItemAttributeAllocSize;
    if (accessSec) consumed |= fskit::FSItemAttributeAccessTime;
    if (modifySec) consumed |= fskit::FSItemAttributeModifyTime;
    const bool modeSent = mode.has_value();

    const ItemAddress address = addressOf(*item);
    std::weak_ptr<BrindleVolume> weakSelf = weak_from_this();
    rpcClient_->setAttributesForNodeID(
        address.nodeID, address.parentID, address.name, mode, uid, gid, size, accessSec, accessNsec, modifySec, modifyNsec, std::nullopt,
        std::nullopt,
        [weakSelf, request, consumed, modeSent, reply = std::move(reply)](std::shared_ptr<BrindleItem> record,
                                                                           std::optional<Error> error) {
            if (!record) {
                reply(std::nullopt, errorOrIO(error));
                return;
            }
            const auto self = weakSelf.lock();
            if (!self) {
                reply(std::nullopt, Error::posix(darwin::eio));
                return;
            }
            request->consumedAttributes |= consumed;
            const ItemPtr canonical = self->canonicalItemForItem(record);
            if (modeSent) {
                std::lock_guard fields(canonical->fieldsMutex);
                canonical->hasPendingFinalMode = false;
                canonical->pendingFinalMode = 0;
            }
            reply(attributesForItem(*canonical, std::nullopt), std::nullopt);
        });
}

void BrindleVolume::applySetAttributesRequest(const SetAttributesRequestPtr& request, const ItemPtr& item,
                                              bool creatingNewItem, AttributesReply reply) {
    if (!request) {
        reply(attributesForItem(*item, std::nullopt), std::nullopt);
        return;
    }
    if (!creatingNewItem && anyValid(*request, neverSettableAttributes)) {
        reply(std::nullopt, Error::posix(darwin::einval));
        return;
    }
    bool sizeRefused = false;
    {
        std::lock_guard fields(item->fieldsMutex);
        if (request->mode) {
            // A new file its owner may not write keeps the server's mode until its last close; the
            // requested one is its pending final mode, and is what it reports meanwhile.
            if (!(creatingNewItem && item->hasPendingFinalMode)) item->mode = *request->mode & 0777;
            request->consumedAttributes |= fskit::FSItemAttributeMode;
        }
        if (request->uid) {
            item->uid = *request->uid;
            request->consumedAttributes |= fskit::FSItemAttributeUID;
        }
        if (request->gid) {
            item->gid = *request->gid;
            request->consumedAttributes |= fskit::FSItemAttributeGID;
        }
        if (request->accessTime) {
            item->accessTime = *request->accessTime;
            request->consumedAttributes |= fskit::FSItemAttributeAccessTime;
        }
        if (request->modifyTime) {
            item->modifyTime = *request->modifyTime;
            request->consumedAttributes |= fskit::FSItemAttributeModifyTime;
        }
        if (request->birthTime) {
            item->birthTime = *request->birthTime;
            request->consumedAttributes |= fskit::FSItemAttributeBirthTime;
        }
        if (request->size) {
            if (item->itemType == ItemType::File) {
                item->size = *request->size;
                item->allocSize = *request->size;
                request->consumedAttributes |= fskit::FSItemAttributeSize | fskit::FSItemAttributeAllocSize;
            } else {
                sizeRefused = true;
            }
        }
    }
    if (sizeRefused) {
        reply(std::nullopt, Error::posix(darwin::eperm));
        return;
    }
    reply(attributesForItem(*item, std::nullopt), std::nullopt);
}

}  // namespace brindle
