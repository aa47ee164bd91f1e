#include "host/fuse/inodes/object_identity.h"

#include "module/volume/BrindleVolume.h"

namespace brindle::host {

ObjectIdentity ObjectIdentity::of(const BrindleItem& item) {
    return {BrindleVolume::placeOfItem(item).itemType, BrindleVolume::birthTimeOf(item)};
}

bool ObjectIdentity::matches(const BrindleItem& found) const {
    const ObjectIdentity other = of(found);
    if (other.type != type) return false;
    if (type == ItemType::Directory) return true;
    return birth && other.birth && birth->tv_sec == other.birth->tv_sec && birth->tv_nsec == other.birth->tv_nsec;
}

}  // namespace brindle::host
