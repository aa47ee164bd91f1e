#pragma once

#include "module/BrindleFileSystem.h"
#include "platform/fskit/resource.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <variant>

namespace brindle::host {

struct ReloadedVolume {
    std::shared_ptr<BrindleVolume> volume;
    uint64_t rootNodeID = 0;
};

// Loads the session again as a mount does, on a fresh client: unloads what is loaded, probes,
// loads (reading the session file anew: a restarted server has a new token and may listen
// elsewhere), activates and mounts the volume. Each step waits at most `bound` (zero: without a
// bound) and gives up as soon as `ending` says so. Gives the volume, or what failed.
std::variant<ReloadedVolume, std::string> reloadSession(BrindleFileSystem& fileSystem,
                                                        const std::shared_ptr<fskit::FSResource>& resource,
                                                        std::chrono::milliseconds bound,
                                                        const std::function<bool()>& ending);

}  // namespace brindle::host
