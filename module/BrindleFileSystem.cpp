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
    const std::optional<Error> invalid = BrindleSessionDescriptor::validateURL(url.value(), sessionFileTrust_);
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

void BrindleFileSystem::loadResource(const std::shared_ptr<fskit::FSResource>& resource,
                                     const fskit::FSTaskOptions& options, LoadReply reply) {
    logging::info("orvel: loadResource resource={} options={}", resource ? resource->description() : "(null)",
                  options.description());

    auto resolved = urlForPathResource(resource);
    if (!resolved) {
        logging::error("orvel: loadResource rejected resource error={}", resolved.error());
        reply(nullptr, resolved.error());
        return;
    }
    const foundation::URL url = resolved.value();
    logging::info("orvel: loadResource url={}", url.path());

    if (!url.startAccessingSecurityScopedResource()) {
        logging::error("orvel: loadResource failed to access security-scoped resource");
        reply(nullptr, Error::posix(darwin::eacces));
        return;
    }

    auto session = BrindleSessionDescriptor::initWithURL(url, sessionFileTrust_);
    if (!session) {
        url.stopAccessingSecurityScopedResource();
        logging::error("orvel: loadResource failed to create session error={}", session.error());
        reply(nullptr, session.error());
        return;
    }

    std::shared_ptr<const BrindleSessionDescriptor> descriptor = session.value();
    auto client = BrindleRPCClient::initWithSession(descriptor, firstServerIdentity_);
    // Until the handshake answers, only this pending reply holds the descriptor and the client.
    client->connectAndHandshakeWithReply(
        [self = shared_from_this(), url, descriptor, client, reply = std::move(reply)](
            bool success, std::optional<Error> error) mutable {
            if (!success) {
                url.stopAccessingSecurityScopedResource();
                const Error failure = error ? *error : Error::posix(darwin::eio);
                // The caller says what the failure means: a first mount fails with it, a reconnect tries again.
                logging::debug("orvel: loadResource handshake failed error={}", failure);
                client.reset();
                reply(nullptr, failure);
                return;
            }
            self->session_ = descriptor;
            self->rpcClient_ = client;
            if (!self->firstServerIdentity_) self->firstServerIdentity_ = client->serverIdentity();
            self->loadedResourceURL_ = url;
            self->setContainerStatus(fskit::FSContainerStatus::ready());
            auto volume = BrindleVolume::initWithSession(descriptor, client, descriptor->readonlyEnabled());
            logging::info("orvel: loadResource returning volume sessionID={}", descriptor->sessionID());
            reply(std::move(volume), std::nullopt);
        });
}

void BrindleFileSystem::unloadResource(const std::shared_ptr<fskit::FSResource>&, const fskit::FSTaskOptions&,
                                       UnloadReply reply) {
    logging::info("orvel: unloadResource");
    if (rpcClient_) rpcClient_->disconnect();
    rpcClient_.reset();
    if (loadedResourceURL_) loadedResourceURL_->stopAccessingSecurityScopedResource();
    loadedResourceURL_.reset();
    session_.reset();
    setContainerStatus(fskit::FSContainerStatus::notReadyWithStatus(Error::posix(0)));
    reply(std::nullopt);
}

}  // namespace brindle
