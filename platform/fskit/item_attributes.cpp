#include "platform/fskit/item_attributes.h"

namespace fskit {

bool FSItemSetAttributesRequest::isValid(uint64_t attribute) const {
    switch (attribute) {
        case FSItemAttributeType: return type.has_value();
        case FSItemAttributeMode: return mode.has_value();
        case FSItemAttributeLinkCount: return linkCount.has_value();
        case FSItemAttributeUID: return uid.has_value();
        case FSItemAttributeGID: return gid.has_value();
        case FSItemAttributeFlags: return flags.has_value();
        case FSItemAttributeSize: return size.has_value();
        case FSItemAttributeAllocSize: return allocSize.has_value();
        case FSItemAttributeFileID: return fileID.has_value();
        case FSItemAttributeParentID: return parentID.has_value();
        case FSItemAttributeAccessTime: return accessTime.has_value();
        case FSItemAttributeModifyTime: return modifyTime.has_value();
        case FSItemAttributeChangeTime: return changeTime.has_value();
        case FSItemAttributeBirthTime: return birthTime.has_value();
        case FSItemAttributeBackupTime: return backupTime.has_value();
        case FSItemAttributeAddedTime: return addedTime.has_value();
        case FSItemAttributeSupportsLimitedXAttrs: return supportsLimitedXAttrs.has_value();
        case FSItemAttributeInhibitKernelOffloadedIO: return inhibitKernelOffloadedIO.has_value();
        default: return false;
    }
}

}  // namespace fskit
