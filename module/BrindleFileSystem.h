#pragma once

#include "module/BrindleSessionDescriptor.h"
#include "module/rpc/BrindleRPCClient.h"
#include "module/volume/BrindleVolume.h"
#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/fskit/probe_result.h"
#include "platform/fskit/resource.h"
#include "platform/fskit/task_options.h"
#include "platform/fskit/unary_file_system.h"

#include <functional>
#include <memory>
#include <optional>

namespace brindle {

// The module's one file system: it probes session resources and loads them into a volume.
class BrindleFileSystem : public fskit::FSUnaryFileSystem, public std::enable_shared_from_this<BrindleFileSystem> {
public:
    using ProbeReply = std::function<void(std::optional<fskit::FSProbeResult>, std::optional<foundation::Error>)>;
    using LoadReply =
        std::function<void(std::shared_ptr<BrindleVolume> volume, std::optional<foundation::Error> error)>;
    using UnloadReply = std::function<void(std::optional<foundation::Error> error)>;

    static std::shared_ptr<BrindleFileSystem> create();

    foundation::Result<foundation::URL> urlForPathResource(const std::shared_ptr<fskit::FSResource>& resource) const;
    void probeResource(const std::shared_ptr<fskit::FSResource>& resource, const ProbeReply& reply);
    void didFinishLoading();
    void loadResource(const std::shared_ptr<fskit::FSResource>& resource, const fskit::FSTaskOptions& options,
                      LoadReply reply);
    void unloadResource(const std::shared_ptr<fskit::FSResource>& resource, const fskit::FSTaskOptions& options,
                        UnloadReply reply);

    // How far the session files this file system probes and loads are trusted; checked by default.
    void setSessionFileTrust(SessionFileTrust trust) { sessionFileTrust_ = trust; }

    std::shared_ptr<const BrindleSessionDescriptor> session() const { return session_; }
    std::shared_ptr<BrindleRPCClient> rpcClient() const { return rpcClient_; }
    const std::optional<foundation::URL>& loadedResourceURL() const { return loadedResourceURL_; }

protected:
    BrindleFileSystem() = default;

private:
    SessionFileTrust sessionFileTrust_ = SessionFileTrust::requirePrivate;
    std::shared_ptr<const BrindleSessionDescriptor> session_;
    std::shared_ptr<BrindleRPCClient> rpcClient_;
    std::optional<foundation::URL> loadedResourceURL_;
    // Who the server of the first load proved to be; every later load (a reconnect) must reach
    // the same one, whatever the session file then says.
    std::optional<ServerIdentity> firstServerIdentity_;
};

}  // namespace brindle
