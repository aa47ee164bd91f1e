#include "host/fuse/ops/cached_contents.h"

#include "module/volume/BrindleVolume.h"

#include <algorithm>

namespace brindle::host {

namespace {

std::optional<InodeTable::ContentStamp> stampOf(const fskit::FSItemAttributes& attributes) {
    if (!attributes.size || !attributes.modifyTime) return std::nullopt;
    return InodeTable::ContentStamp{*attributes.size, *attributes.modifyTime, 0, attributes.changeTime};
}

}  // namespace

bool pagesStillCurrent(OperationContext& context, uint64_t inode,
                       const std::optional<fskit::FSItemAttributes>& attributes) {
    const auto stamp = attributes ? stampOf(*attributes) : std::nullopt;
    if (!stamp) {
        context.inodes.clearStamp(inode);
        return false;
    }
    return context.inodes.restamp(inode, *stamp);
}

bool listingStillCurrent(OperationContext& context, const OpenHandle& handle,
                         const std::optional<fskit::FSItemAttributes>& attributes,
                         std::chrono::steady_clock::duration lifetime) {
    if (!attributes || !attributes->modifyTime) {
        context.inodes.clearStamp(handle.inode);
        return false;
    }
    const InodeTable::ContentStamp stamp{attributes->size.value_or(0), *attributes->modifyTime,
                                         BrindleVolume::currentVerifierOfDirectory(*handle.item)};
    return context.inodes.restamp(handle.inode, stamp, lifetime);
}

std::optional<std::chrono::steady_clock::duration> listingLifetime(const MountOptions& options) {
    const double seconds = std::min(options.attrTimeout, options.entryTimeout);
    if (seconds <= 0) return std::nullopt;
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

bool keepsPagesUnasked(PageCachePolicy policy) {
    return policy == PageCachePolicy::KeepWhileUnchanged || policy == PageCachePolicy::KeepAlways;
}

}  // namespace brindle::host
