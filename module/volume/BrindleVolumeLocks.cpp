#include "module/volume/BrindleVolume.h"
#include "module/volume/BrindleVolumeReplies.h"
#include "protocol/extensions.h"
#include "protocol/wire.h"

namespace brindle {

using namespace volumereplies;
using foundation::Error;
namespace darwin = foundation::darwin;

bool BrindleVolume::locksAcrossClients() const { return rpcClient_->serverSupports(wire::extension::locks); }

void BrindleVolume::setLock(const FSItemPtr& item, const BrindleLock& lock, ErrorReply reply) {
    const auto target = canonicalTrackedItem(brindleItem(item));
    if (!target) return reply(Error::posix(darwin::einval));
    rpcClient_->setLockOnNodeID(nodeIDOf(*target), lock, [reply = std::move(reply)](bool success, std::optional<Error> error) {
        reply(success ? std::nullopt : std::optional<Error>(errorOrIO(error)));
    });
}

void BrindleVolume::testLock(const FSItemPtr& item, const BrindleLock& lock, LockTestReply reply) {
    const auto target = canonicalTrackedItem(brindleItem(item));
    if (!target) return reply(std::nullopt, Error::posix(darwin::einval));
    rpcClient_->testLockOnNodeID(nodeIDOf(*target), lock, std::move(reply));
}

}  // namespace brindle
