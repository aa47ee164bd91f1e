#include "host/fuse/requests/operation_context.h"

#include "module/rpc/BrindleRPCClient.h"
#include "platform/log/log.h"
#include "protocol/extensions.h"

#include <algorithm>

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
      watchedExportOptions(withWatchedExportDefaults(options)),
      deadline(ReplyDeadline::create(replyBound, std::chrono::seconds(1))) {}

void OperationContext::updateCacheTimeouts(BrindleRPCClient& client) {
    const bool watches =
        client.serverSupports(wire::extension::changeNotices) && client.serverSupports(wire::extension::exportWatched);
    const bool watched = exportWatched.exchange(watches);
    if (watches && !watched) {
        logging::info("orvel: the server tells of changes made on its export too: caches not set by -o last {} s",
                      kWatchedExportTimeout);
    } else if (watched && !watches) {
        logging::info("orvel: the server no longer tells of changes made on its export: caches last {} s again",
                      std::min(options.attrTimeout, options.entryTimeout));
        if (notices) forgetEverythingCached();
    }
}

void checkHeldNodes(const std::shared_ptr<OperationContext>& context, BrindleRPCClient& client) {
    client.setNodeHeld([weak = std::weak_ptr<OperationContext>(context)](uint64_t nodeID) {
        const auto held = weak.lock();
        return held && held->inodes.referencesNode(nodeID);
    });
}

void OperationContext::forgetEverythingCached() {
    volume->dropAllChangedAttributes();
    for (const auto& [parent, name] : inodes.heldNames()) notices->forgetEntryLater(parent, name);
    for (const uint64_t inode : inodes.heldInodes()) notices->forgetInodeLater(inode);
}

}  // namespace brindle::host
