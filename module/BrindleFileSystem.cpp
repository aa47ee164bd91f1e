#include "module/BrindleFileSystem.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/uuid.h"
#include "platform/log/log.h"

namespace brindle {

using foundation::Error;
namespace darwin = foundation::darwin;

std::shared_ptr<BrindleFileSystem> BrindleFileSystem::create() {
    struct Constructible : BrindleFileSystem {};
    return std::make_shared<Constructible>();
}

foundation::Result<foundation::URL> BrindleFileSystem::urlForPathResource(
    const std::shared_ptr<fskit::FSResource>& resource) const {
    const auto pathResource = std::dynamic_pointer_cast<fskit::FSPathURLResource>(resource);
    if (!pathResource) return Error::posix(darwin::enodev);
    if (!pathResource->url()) return Error::posix(darwin::einval);
    return *pathResource->url();
}

void BrindleFileSystem::probeResource(const std::shared_ptr<fskit::FSResource>& resource, const ProbeReply& reply) {
    logging::info("orvel: probeResource resource={}", resource ? resource->description() : "(null)");

    auto url = urlForPathResource(resource);
    if (!url) {
        logging::error("orvel: probeResource rejected resource error={}", url.error());
        reply(std::nullopt, url.error());
        return;
    }

    if (!url.value().startAccessingSecurityScopedResource()) {
        logging::error("orvel: probeResource failed to access security-scoped resource url={}", url.value().path());
        reply(std::nullopt, Error::posix(darwin::eacces));
        return;
    }
    const std::optional<Error> invalid = BrindleSessionDescriptor::validateURL(url.value());
    url.value().stopAccessingSecurityScopedResource();

    if (invalid) {
        logging::error("orvel: probeResource rejected invalid descriptor url={} error={}", url.value().path(), *invalid);
        reply(std::nullopt, invalid);
        return;
    }

    auto result = fskit::FSProbeResult::usableProbeResultWithName(
        "orvel", fskit::FSContainerIdentifier(foundation::UUID::random()));
    logging::info("orvel: probeResource returning usable result url={}", url.value().path());
    reply(std::move(result), std::nullopt);
}

void BrindleFileSystem::didFinishLoading() { logging::info("orvel: didFinishLoading"); }

}  // namespace brindle
