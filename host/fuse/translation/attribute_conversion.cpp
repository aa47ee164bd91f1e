#include "host/fuse/translation/attribute_conversion.h"

#include <fuse_lowlevel.h>

namespace brindle::host {

mode_t fileTypeBitsForItemType(int64_t itemType) {
    switch (itemType) {
        case fskit::FSItemTypeFile: return S_IFREG;
        case fskit::FSItemTypeDirectory: return S_IFDIR;
        case fskit::FSItemTypeSymlink: return S_IFLNK;
        case fskit::FSItemTypeFIFO: return S_IFIFO;
        case fskit::FSItemTypeCharDevice: return S_IFCHR;
        case fskit::FSItemTypeBlockDevice: return S_IFBLK;
        case fskit::FSItemTypeSocket: return S_IFSOCK;
        default: return 0;
    }
}

int64_t itemTypeForMode(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG: return fskit::FSItemTypeFile;
        case S_IFDIR: return fskit::FSItemTypeDirectory;
        case S_IFLNK: return fskit::FSItemTypeSymlink;
        case S_IFIFO: return fskit::FSItemTypeFIFO;
        case S_IFCHR: return fskit::FSItemTypeCharDevice;
        case S_IFBLK: return fskit::FSItemTypeBlockDevice;
        case S_IFSOCK: return fskit::FSItemTypeSocket;
        default: return fskit::FSItemTypeUnknown;
    }
}

struct stat statFromAttributes(const fskit::FSItemAttributes& attributes, uint64_t inode,
                               const AttributePresentation& presentation) {
    struct stat result {};
    result.st_ino = inode;
    // A type the kernel cannot show is presented as a regular file rather than as no type at all.
    const mode_t typeBits = fileTypeBitsForItemType(attributes.type.value_or(fskit::FSItemTypeUnknown));
    result.st_mode = (typeBits != 0 ? typeBits : S_IFREG) | (attributes.mode.value_or(0) & 07777);
    result.st_nlink = attributes.linkCount.value_or(1);
    result.st_uid = attributes.uid.value_or(0);
    result.st_gid = attributes.gid.value_or(0);
    const uint64_t size = attributes.size.value_or(0);
    result.st_size = size > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<off_t>(size);
    const uint64_t allocated = attributes.allocSize.value_or(size);
    result.st_blocks = static_cast<blkcnt_t>(allocated / 512 + (allocated % 512 != 0 ? 1 : 0));
    if (attributes.accessTime) result.st_atim = *attributes.accessTime;
    if (attributes.modifyTime) result.st_mtim = *attributes.modifyTime;
    if (attributes.changeTime) result.st_ctim = *attributes.changeTime;
    presentation.applyTo(result);
    return result;
}

std::shared_ptr<fskit::FSItemSetAttributesRequest> setAttributesRequestFromKernel(const struct stat& values, int toSet,
                                                                                 timespec now) {
    auto request = std::make_shared<fskit::FSItemSetAttributesRequest>();
    bool any = false;
    if (toSet & FUSE_SET_ATTR_MODE) {
        request->mode = values.st_mode & 07777;
        any = true;
    }
    if (toSet & FUSE_SET_ATTR_UID) {
        request->uid = values.st_uid;
        any = true;
    }
    if (toSet & FUSE_SET_ATTR_GID) {
        request->gid = values.st_gid;
        any = true;
    }
    if (toSet & FUSE_SET_ATTR_SIZE) {
        request->size = values.st_size < 0 ? 0 : static_cast<uint64_t>(values.st_size);
        any = true;
    }
    if (toSet & FUSE_SET_ATTR_ATIME_NOW) {
        request->accessTime = now;
        any = true;
    } else if (toSet & FUSE_SET_ATTR_ATIME) {
        request->accessTime = values.st_atim;
        any = true;
    }
    if (toSet & FUSE_SET_ATTR_MTIME_NOW) {
        request->modifyTime = now;
        any = true;
    } else if (toSet & FUSE_SET_ATTR_MTIME) {
        request->modifyTime = values.st_mtim;
        any = true;
    }
    return any ? request : nullptr;
}

std::shared_ptr<fskit::FSItemSetAttributesRequest> creationAttributes(mode_t mode) {
    auto request = std::make_shared<fskit::FSItemSetAttributesRequest>();
    request->mode = mode & 07777;
    return request;
}

std::shared_ptr<fskit::FSItemSetAttributesRequest> truncationAttributes() {
    auto request = std::make_shared<fskit::FSItemSetAttributesRequest>();
    request->size = 0;
    return request;
}

}  // namespace brindle::host
