#pragma once

#include "host/fuse/options/attribute_presentation.h"
#include "platform/fskit/item_attributes.h"

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <memory>

namespace brindle::host {

// FSKit item attributes as the `stat` the kernel is given for inode `inode`, as the mount presents them.
struct stat statFromAttributes(const fskit::FSItemAttributes& attributes, uint64_t inode,
                               const AttributePresentation& presentation);

// The S_IF* file type of an FSKit item type; 0 for a type Linux has no name for.
mode_t fileTypeBitsForItemType(int64_t itemType);
// The FSKit item type of a mode's S_IF* bits; FSItemTypeUnknown when there is none.
int64_t itemTypeForMode(mode_t mode);

// A kernel setattr as a set-attributes request. `toSet` holds FUSE_SET_ATTR_* bits; `now` stands
// in for the *_NOW times. Change-time updates are the kernel's own bookkeeping and are dropped, so
// a request that asks for nothing else yields null: the caller answers with the current attributes.
std::shared_ptr<fskit::FSItemSetAttributesRequest> setAttributesRequestFromKernel(const struct stat& values, int toSet,
                                                                                 timespec now);

// A set-attributes request for a new item of the given mode (permission bits only).
std::shared_ptr<fskit::FSItemSetAttributesRequest> creationAttributes(mode_t mode);
// A set-attributes request that empties a file.
std::shared_ptr<fskit::FSItemSetAttributesRequest> truncationAttributes();

}  // namespace brindle::host
