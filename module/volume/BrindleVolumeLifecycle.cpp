#include "module/volume/BrindleVolume.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/uuid.h"
#include "platform/log/log.h"

namespace brindle {

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

foundation::Error BrindleVolume::readOnlyError() { return foundation::Error::posix(foundation::darwin::erofs); }

foundation::Error BrindleVolume::notSupportedError() { return foundation::Error::posix(foundation::darwin::enotsup); }

}  // namespace brindle
