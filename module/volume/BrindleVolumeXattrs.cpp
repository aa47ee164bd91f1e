#include "module/volume/BrindleVolume.h"
#include "module/volume/BrindleVolumeReplies.h"
#include "platform/foundation/utf8.h"

namespace brindle {

using namespace volumereplies;
using foundation::Error;
namespace darwin = foundation::darwin;

namespace {

// The platform's setxattr options that carry FSKit's create and replace policies.
constexpr int32_t xattrCreateFlag = 2;
constexpr int32_t xattrReplaceFlag = 4;

std::optional<int32_t> setFlagsForPolicy(uint64_t policy) {
    switch (policy) {
        case BrindleVolume::xattrPolicyAlwaysSet:
            return 0;
        case BrindleVolume::xattrPolicyMustCreate:
            return xattrCreateFlag;
        case BrindleVolume::xattrPolicyMustReplace:
            return xattrReplaceFlag;
        default:
            return std::nullopt;
    }
}

}  // namespace

bool BrindleVolume::xattrOperationsInhibited() const { return !session_->namedattrEnabled(); }

void BrindleVolume::getXattrNamed(const fskit::FSFileName& name, const FSItemPtr& item, DataReply reply) {
    if (xattrOperationsInhibited()) return reply(std::nullopt, notSupportedError());
    if (const auto refusal = nameRefusal(name)) return reply(std::nullopt, refusal);
    const auto target = canonicalTrackedItem(brindleItem(item));
    if (!target) return reply(std::nullopt, Error::posix(darwin::einval));
    rpcClient_->getXattrNamed(*name.string(), nodeIDOf(*target), std::move(reply));
}

void BrindleVolume::setXattrNamed(const fskit::FSFileName& name, std::optional<std::string> value,
                                  const FSItemPtr& item, uint64_t policy, ErrorReply reply) {
    if (xattrOperationsInhibited()) return reply(notSupportedError());
    if (isReadonlyVolume()) return reply(readOnlyError());
    if (const auto refusal = nameRefusal(name)) return reply(refusal);
    const std::string text = *name.string();
    const auto target = canonicalTrackedItem(brindleItem(item));
    if (!target) return reply(Error::posix(darwin::einval));
    auto done = [reply](bool success, std::optional<Error> error) {
        if (!success) return reply(errorOrIO(error));
        reply(std::nullopt);
    };
    if (policy == xattrPolicyDelete) return rpcClient_->removeXattrNamed(text, nodeIDOf(*target), std::move(done));
    const auto flags = setFlagsForPolicy(policy);
    if (!flags) return reply(Error::posix(darwin::einval));
    rpcClient_->setXattrNamed(text, nodeIDOf(*target), *flags, value.value_or(std::string()), std::move(done));
}

void BrindleVolume::listXattrsOfItem(const FSItemPtr& item, NamesReply reply) {
    if (xattrOperationsInhibited()) return reply(std::nullopt, notSupportedError());
    const auto target = canonicalTrackedItem(brindleItem(item));
    if (!target) return reply(std::nullopt, Error::posix(darwin::einval));
    rpcClient_->listXattrsForNodeID(
        nodeIDOf(*target), [reply](std::optional<std::vector<std::string>> names, std::optional<Error> error) {
            if (!names) return reply(std::nullopt, errorOrIO(error));
            std::vector<fskit::FSFileName> fileNames;
            fileNames.reserve(names->size());
            for (const auto& listed : *names) {
                if (!foundation::isValidUTF8(listed)) return reply(std::nullopt, Error::posix(darwin::einval));
                fileNames.push_back(fskit::FSFileName::nameWithString(listed));
            }
            reply(std::move(fileNames), std::nullopt);
        });
}

}  // namespace brindle
