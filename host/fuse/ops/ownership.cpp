#include "host/fuse/ops/ownership.h"

namespace brindle::host {

void giveToCaller(const KernelRequest& request, const std::shared_ptr<BrindleItem>& item,
                  const std::shared_ptr<BrindleItem>& directory, const fskit::FSFileName& name,
                  std::function<void()> then, bool heldOpen) {
    if (!request.context()->options.allowOther) return then();
    const Caller& caller = request.caller();
    const auto owner = BrindleVolume::attributesForItem(
        *item, fskit::FSItemGetAttributesRequest(fskit::FSItemAttributeUID | fskit::FSItemAttributeGID));
    if (owner.uid == caller.uid && owner.gid == caller.gid) return then();
    auto change = std::make_shared<fskit::FSItemSetAttributesRequest>();
    change->uid = caller.uid;
    change->gid = caller.gid;
    request.volume().setAttributes(
        change, item,
        [request, item, directory, name, heldOpen, then = std::move(then)](
            std::optional<fskit::FSItemAttributes> attributes, std::optional<foundation::Error> error) {
            if (attributes) return then();
            auto removeAgain = [request, item, directory, name, error] {
                request.volume().removeItem(item, name, directory,
                                            [request, item, error](std::optional<foundation::Error>) {
                                                request.context()->lookups.releaseUnreferenced(item);
                                                request.fail(error);
                                            });
            };
            if (!heldOpen) return removeAgain();
            request.volume().closeItem(item, 0, [removeAgain](std::optional<foundation::Error>) { removeAgain(); });
        });
}

}  // namespace brindle::host
