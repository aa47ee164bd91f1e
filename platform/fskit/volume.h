#pragma once

#include "platform/foundation/uuid.h"
#include "platform/fskit/file_name.h"

#include <cstdint>

namespace fskit {

class FSVolumeIdentifier {
public:
    explicit FSVolumeIdentifier(foundation::UUID uuid) : uuid_(uuid) {}
    const foundation::UUID& uuid() const { return uuid_; }
    friend bool operator==(const FSVolumeIdentifier&, const FSVolumeIdentifier&) = default;

private:
    foundation::UUID uuid_;
};

// What a volume tells the service it can do; unset capabilities keep the service's defaults.
struct FSVolumeSupportedCapabilities {
    enum CaseFormat : int64_t { CaseSensitive = 0, CaseInsensitive = 1, CaseInsensitiveCasePreserving = 2 };

    bool supportsPersistentObjectIDs = false;
    bool supportsSymbolicLinks = false;
    bool supportsHardLinks = false;
    bool supportsFastStatFS = false;
    bool doesNotSupportSettingFilePermissions = false;
    int64_t caseFormat = CaseSensitive;
};

// Base of a volume: an identifier and a name, both fixed when it is made.
class FSVolume {
public:
    FSVolume(FSVolumeIdentifier volumeID, FSFileName volumeName)
        : volumeID_(volumeID), volumeName_(std::move(volumeName)) {}
    virtual ~FSVolume() = default;

    const FSVolumeIdentifier& volumeID() const { return volumeID_; }
    const FSFileName& name() const { return volumeName_; }

private:
    FSVolumeIdentifier volumeID_;
    FSFileName volumeName_;
};

}  // namespace fskit
