#include "host/fuse/translation/request_flags.h"

#include "module/volume/BrindleVolume.h"

#include <fcntl.h>
#include <sys/xattr.h>

namespace brindle::host {

uint32_t openModesForFlags(int flags) {
    switch (flags & O_ACCMODE) {
        case O_WRONLY: return BrindleVolume::openModeWrite;
        case O_RDWR: return BrindleVolume::openModeRead | BrindleVolume::openModeWrite;
        default: return BrindleVolume::openModeRead;
    }
}

std::optional<uint64_t> xattrPolicyForFlags(int flags) {
    if ((flags & ~(XATTR_CREATE | XATTR_REPLACE)) != 0) return std::nullopt;
    if ((flags & XATTR_CREATE) && (flags & XATTR_REPLACE)) return std::nullopt;
    if (flags & XATTR_CREATE) return BrindleVolume::xattrPolicyMustCreate;
    if (flags & XATTR_REPLACE) return BrindleVolume::xattrPolicyMustReplace;
    return BrindleVolume::xattrPolicyAlwaysSet;
}

}  // namespace brindle::host
