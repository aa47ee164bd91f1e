#include "host/fuse/ops/attribute_operations.h"

#include "host/fuse/ops/open_recovery.h"
#include "host/fuse/requests/kernel_request.h"
#include "host/fuse/translation/attribute_conversion.h"

#include <chrono>
#include <ctime>

namespace brindle::host {

namespace {

BrindleVolume::AttributesReply attributesReply(const KernelRequest& request, fuse_ino_t inode) {
    return [request, inode](std::optional<fskit::FSItemAttributes> attributes, std::optional<foundation::Error> error) {
        request.replyAttributes(inode, attributes, error);
    };
}

}  // namespace

void onGetattr(const KernelRequest& request, fuse_ino_t inode, fuse_file_info*) {
    auto item = request.itemOrFail(inode);
    if (!item) return;
    // The kernel drops a directory's attributes when it changes it, and a file's when it writes
    // it; the change's reply may have brought them already. Kept no longer in all than if the
    // kernel had been handed them when they came.
    const std::chrono::duration<double> timeout(request.context()->cacheOptions().attrTimeout);
    if (const auto kept = request.volume().takeChangedAttributes(
            item, std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout))) {
        return request.replyAttributes(inode, kept->attributes, (timeout - kept->age).count());
    }
    request.volume().getAttributes(allAttributes(), item, attributesReply(request, inode));
}

void onSetattr(const KernelRequest& request, fuse_ino_t inode, struct stat* values, int toSet, fuse_file_info* info) {
    auto item = request.itemOrFail(inode);
    // An ftruncate through an open for writing that outlived its connection fails like its writes.
    if (!item || !openGoesOn(request, info, item)) return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    auto change = setAttributesRequestFromKernel(*values, toSet, now);
    if (!change) return request.volume().getAttributes(allAttributes(), item, attributesReply(request, inode));
    request.volume().setAttributes(change, item, attributesReply(request, inode));
}

}  // namespace brindle::host
