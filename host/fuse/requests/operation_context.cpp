#include "host/fuse/requests/operation_context.h"

namespace brindle::host {

OperationContext::OperationContext(std::shared_ptr<BrindleVolume> volume_, uint64_t rootNodeID,
                                   MountOptions options_, std::chrono::steady_clock::duration replyBound)
    : volume(volume_),
      // Only a reconnect renumbers nodes; without one the kernel finds its numbers from the node ids.
      inodes(volume_->rootItem(), rootNodeID, options_.reconnect ? ForgottenInodes::defaultCapacity : 0),
      // The inode table gives back only items of the newest generation.
      lookups(inodes,
              [this](const std::shared_ptr<BrindleItem>& item) {
                  volume->reclaimItem(item, [](std::optional<foundation::Error>) {});
              }),
      options(std::move(options_)),
      deadline(ReplyDeadline::create(replyBound, std::chrono::seconds(1))) {}

}  // namespace brindle::host
