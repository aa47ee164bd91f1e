#include "module/volume/BrindleVolume.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "platform/foundation/uuid.h"
#include "platform/log/log.h"
#include "protocol/wire.h"

#include <chrono>
#include <limits>
#include <semaphore>

namespace brindle {

namespace {

constexpr uint64_t largestSigned64 = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

uint64_t statisticsValue(const boost::json::object& statistics, std::string_view key) {
    return foundation::json::uint64Field(statistics, key).value_or(0);
}

// What the statistics getter and a possibly late reply share; the reply may outlive the getter.
struct StatisticsExchange {
    std::counting_semaphore<1> delivered{0};
    std::mutex mutex;
    std::optional<boost::json::object> statistics;
};

}  // namespace

BrindleVolume::BrindleVolume(ConstructionKey, fskit::FSVolumeIdentifier volumeID, fskit::FSFileName volumeName,
                             std::shared_ptr<const BrindleSessionDescriptor> session,
                             std::shared_ptr<BrindleRPCClient> rpcClient, bool readonly)
    : fskit::FSVolume(volumeID, std::move(volumeName)),
      session_(std::move(session)),
      rpcClient_(std::move(rpcClient)),
      readonlyVolume_(readonly),
      rootItem_(std::make_shared<BrindleItem>()) {
    trackItem(rootItem_);
}

std::shared_ptr<BrindleVolume> BrindleVolume::initWithSession(std::shared_ptr<const BrindleSessionDescriptor> session,
                                                              std::shared_ptr<BrindleRPCClient> rpcClient,
                                                              bool readonly) {
    fskit::FSVolumeIdentifier volumeID(foundation::UUID::random());
    const std::string& sessionName = session->volumeName();
    fskit::FSFileName volumeName = fskit::FSFileName::nameWithString(sessionName.empty() ? "orvel" : sessionName);
    const std::string sessionID = session->sessionID();
    auto volume = std::make_shared<BrindleVolume>(ConstructionKey{}, volumeID, std::move(volumeName),
                                                  std::move(session), std::move(rpcClient), readonly);
    logging::info("orvel: volume init sessionID={}", sessionID);
    std::weak_ptr<BrindleVolume> weakVolume = volume;
    volume->rpcClient_->setChangedRecords(
        {[weakVolume](uint64_t nodeID) {
             if (const auto self = weakVolume.lock()) self->dropChangedAttributesOfNodeID(nodeID);
         },
         [weakVolume](std::shared_ptr<BrindleItem> record) {
             if (const auto self = weakVolume.lock()) self->adoptChangedRecord(record);
         }});
    return volume;
}

fskit::FSVolumeSupportedCapabilities BrindleVolume::supportedVolumeCapabilities() const {
    fskit::FSVolumeSupportedCapabilities capabilities;
    capabilities.supportsPersistentObjectIDs = true;
    capabilities.supportsSymbolicLinks = true;
    capabilities.supportsHardLinks = false;
    capabilities.supportsFastStatFS = true;
    capabilities.doesNotSupportSettingFilePermissions = isReadonlyVolume();
    capabilities.caseFormat = fskit::FSVolumeSupportedCapabilities::CaseInsensitiveCasePreserving;
    return capabilities;
}

void BrindleVolume::activateWithOptions(const fskit::FSTaskOptions&, ItemReply reply) {
    logging::info("orvel: activateWithOptions");
    auto self = shared_from_this();
    rpcClient_->pingWithReply([self, reply = std::move(reply)](bool success, std::optional<foundation::Error> error) mutable {
        if (!success) {
            const foundation::Error failure = error ? *error : foundation::Error::posix(foundation::darwin::eio);
            logging::error("orvel: activateWithOptions ping failed error={}", failure);
            reply(nullptr, failure);
            return;
        }
        self->rpcClient_->fetchRootItemWithReply(
            [self, reply = std::move(reply)](std::shared_ptr<BrindleItem> root, std::optional<foundation::Error> error) {
                if (!root) {
                    const foundation::Error failure = error ? *error : foundation::Error::posix(foundation::darwin::eio);
                    logging::error("orvel: activateWithOptions root attribute fetch failed error={}", failure);
                    reply(nullptr, failure);
                    return;
                }
                self->activateRootItemFromItem(*root);
                reply(self->rootItem_, std::nullopt);
            });
    });
}

void BrindleVolume::activateRootItemFromItem(const BrindleItem& serverRoot) {
    const uint64_t previousID = [&] {
        std::lock_guard fields(rootItem_->fieldsMutex);
        return rootItem_->nodeID;
    }();
    applyItemAttributesFromItem(serverRoot, *rootItem_);
    const uint64_t rootID = [&] {
        std::lock_guard fields(rootItem_->fieldsMutex);
        return rootItem_->nodeID;
    }();
    {
        // The root must not stay reachable under an id the server may give to another node, or
        // that node's records would be copied onto the root.
        std::lock_guard lock(trackedItemsMutex_);
        for (const uint64_t staleID : {uint64_t{1}, previousID}) {
            if (staleID == rootID) continue;
            const auto found = trackedItems.find(staleID);
            if (found != trackedItems.end() && found->second == rootItem_) trackedItems.erase(found);
        }
    }
    trackItem(rootItem_);
}

void BrindleVolume::mountWithOptions(const fskit::FSTaskOptions&, ErrorReply reply) {
    logging::info("orvel: mountWithOptions");
    reply(std::nullopt);
}

void BrindleVolume::unmountWithReplyHandler(UnmountReply reply) {
    cleanupTrackedItems();
    rpcClient_->disconnect();
    reply();
}

void BrindleVolume::deactivateWithOptions(int64_t, ErrorReply reply) {
    cleanupTrackedItems();
    rpcClient_->disconnect();
    reply(std::nullopt);
}

void BrindleVolume::setConnectionLostHandler(ConnectionLostHandler handler) {
    rpcClient_->setConnectionLostHandler(std::move(handler));
}

void BrindleVolume::synchronizeWithFlags(int64_t flags, ErrorReply reply) {
    rpcClient_->synchronizeWithFlags(static_cast<uint32_t>(flags),
                                     [reply = std::move(reply)](bool success, std::optional<foundation::Error> error) {
                                         if (success) {
                                             reply(std::nullopt);
                                             return;
                                         }
                                         reply(error ? *error : foundation::Error::posix(foundation::darwin::eio));
                                     });
}

fskit::FSStatFSResult BrindleVolume::volumeStatistics() {
    return fetchedVolumeStatistics().value_or(fskit::FSStatFSResult("orvel"));
}

std::optional<fskit::FSStatFSResult> BrindleVolume::fetchedVolumeStatistics() {
    fskit::FSStatFSResult result("orvel");
    auto exchange = std::make_shared<StatisticsExchange>();
    rpcClient_->fetchVolumeStatisticsWithReply(
        [exchange](std::optional<boost::json::object> statistics, std::optional<foundation::Error> error) {
            if (error) {
                logging::error("orvel: statfs rpc failed error={}", *error);
            } else {
                std::lock_guard lock(exchange->mutex);
                exchange->statistics = std::move(statistics);
            }
            exchange->delivered.release();
        });
    if (!exchange->delivered.try_acquire_for(std::chrono::seconds(5))) return std::nullopt;

    std::optional<boost::json::object> statistics;
    {
        std::lock_guard lock(exchange->mutex);
        statistics = std::move(exchange->statistics);
    }
    if (!statistics) return std::nullopt;

    namespace key = wire::key;
    const uint64_t blockSize = statisticsValue(*statistics, key::blockSize);
    const uint64_t ioSize = statisticsValue(*statistics, key::ioSize);
    const uint64_t blocks = statisticsValue(*statistics, key::blocks);
    const uint64_t freeBlocks = statisticsValue(*statistics, key::freeBlocks);
    const uint64_t availableBlocks = statisticsValue(*statistics, key::availableBlocks);
    const uint64_t files = statisticsValue(*statistics, key::files);
    const uint64_t freeFiles = statisticsValue(*statistics, key::freeFiles);
    const uint64_t usedBlocks = freeBlocks > blocks ? 0 : blocks - freeBlocks;

    if (blockSize != 0) {
        result.blockSize = std::min(blockSize, largestSigned64);
        result.totalBytes = blocks * blockSize;
        result.availableBytes = availableBlocks * blockSize;
        result.freeBytes = freeBlocks * blockSize;
        result.usedBytes = usedBlocks * blockSize;
    }
    if (ioSize != 0) result.ioSize = std::min(ioSize, largestSigned64);
    result.totalBlocks = blocks;
    result.availableBlocks = availableBlocks;
    result.freeBlocks = freeBlocks;
    result.usedBlocks = usedBlocks;
    result.totalFiles = files;
    result.freeFiles = freeFiles;
    return result;
}

foundation::Error BrindleVolume::readOnlyError() { return foundation::Error::posix(foundation::darwin::erofs); }

foundation::Error BrindleVolume::notSupportedError() { return foundation::Error::posix(foundation::darwin::enotsup); }

}  // namespace brindle
