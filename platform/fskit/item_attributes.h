#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

namespace fskit {

// Attributes are named by single bits.
enum FSItemAttribute : uint64_t {
    FSItemAttributeType = 1,
    FSItemAttributeMode = 2,
    FSItemAttributeLinkCount = 4,
    FSItemAttributeUID = 8,
    FSItemAttributeGID = 16,
    FSItemAttributeFlags = 32,
    FSItemAttributeSize = 64,
    FSItemAttributeAllocSize = 128,
    FSItemAttributeFileID = 256,
    FSItemAttributeParentID = 512,
    FSItemAttributeAccessTime = 1024,
    FSItemAttributeModifyTime = 2048,
    FSItemAttributeChangeTime = 4096,
    FSItemAttributeBirthTime = 8192,
    FSItemAttributeBackupTime = 16384,
    FSItemAttributeAddedTime = 32768,
    FSItemAttributeSupportsLimitedXAttrs = 65536,
    FSItemAttributeInhibitKernelOffloadedIO = 131072,
};

// Item types as the service numbers them.
enum FSItemType : int64_t {
    FSItemTypeUnknown = 0,
    FSItemTypeFile = 1,
    FSItemTypeDirectory = 2,
    FSItemTypeSymlink = 3,
    FSItemTypeFIFO = 4,
    FSItemTypeCharDevice = 5,
    FSItemTypeBlockDevice = 6,
    FSItemTypeSocket = 7,
};

// A set of attribute values; each is present only when it was filled in.
struct FSItemAttributes {
    std::optional<int64_t> type;
    std::optional<uint32_t> mode;
    std::optional<uint32_t> linkCount;
    std::optional<uint32_t> uid;
    std::optional<uint32_t> gid;
    std::optional<uint32_t> flags;
    std::optional<uint64_t> size;
    std::optional<uint64_t> allocSize;
    std::optional<uint64_t> fileID;
    std::optional<uint64_t> parentID;
    std::optional<timespec> accessTime;
    std::optional<timespec> modifyTime;
    std::optional<timespec> changeTime;
    std::optional<timespec> birthTime;
    std::optional<timespec> backupTime;
    std::optional<timespec> addedTime;
    std::optional<bool> supportsLimitedXAttrs;
    std::optional<bool> inhibitKernelOffloadedIO;
};

// Which attributes a caller wants reported.
class FSItemGetAttributesRequest {
public:
    explicit FSItemGetAttributesRequest(uint64_t wantedAttributes) : wantedAttributes_(wantedAttributes) {}
    uint64_t wantedAttributes() const { return wantedAttributes_; }
    bool isAttributeWanted(uint64_t attribute) const { return (wantedAttributes_ & attribute) != 0; }

private:
    uint64_t wantedAttributes_;
};

// A change of attributes: the values given, and the bits the file system reports as applied.
class FSItemSetAttributesRequest : public FSItemAttributes {
public:
    bool isValid(uint64_t attribute) const;
    uint64_t consumedAttributes = 0;
};

}  // namespace fskit
