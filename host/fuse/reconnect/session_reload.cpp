#include "host/fuse/reconnect/session_reload.h"

#include "host/fuse/inodes/inode_table.h"
#include "host/fuse/reconnect/awaited.h"
#include "host/fuse/translation/error_text.h"
#include "platform/foundation/errno_table.h"

namespace brindle::host {

namespace {

using foundation::Error;

using Loaded = std::pair<std::shared_ptr<BrindleVolume>, std::optional<Error>>;
using Activated = std::pair<std::shared_ptr<BrindleItem>, std::optional<Error>>;

std::string failure(std::string_view step, const std::optional<Error>& error) {
    return std::string(step) + ": " + errorText(error.value_or(Error::posix(foundation::darwin::eio)));
}

}  // namespace

std::variant<ReloadedVolume, std::string> reloadSession(BrindleFileSystem& fileSystem,
                                                        const std::shared_ptr<fskit::FSResource>& resource,
                                                        std::chrono::milliseconds bound,
                                                        const std::function<bool()>& ending) {
    fileSystem.unloadResource(resource, fskit::FSTaskOptions{}, [](std::optional<Error>) {});
    std::optional<Error> probeError;
    fileSystem.probeResource(resource,
                             [&](std::optional<fskit::FSProbeResult>, std::optional<Error> error) { probeError = error; });
    if (probeError) return failure("probe", probeError);

    Awaited<Loaded> loaded;
    fileSystem.loadResource(resource, fskit::FSTaskOptions{},
                            [complete = loaded.completion()](std::shared_ptr<BrindleVolume> volume,
                                                             std::optional<Error> error) {
                                complete({std::move(volume), std::move(error)});
                            });
    const auto outcome = loaded.wait(bound, ending);
    if (!outcome || !outcome->first) {
        fileSystem.unloadResource(resource, fskit::FSTaskOptions{}, [](std::optional<Error>) {});
        return outcome ? failure("load", outcome->second) : std::string("load: no answer");
    }
    const auto volume = outcome->first;
    Awaited<Activated> activation;
    volume->activateWithOptions(fskit::FSTaskOptions{},
                                [complete = activation.completion()](std::shared_ptr<BrindleItem> root,
                                                                     std::optional<Error> error) {
                                    complete({std::move(root), std::move(error)});
                                });
    const auto activated = activation.wait(bound, ending);
    if (!activated || !activated->first) {
        fileSystem.unloadResource(resource, fskit::FSTaskOptions{}, [](std::optional<Error>) {});
        return activated ? failure("activate", activated->second) : std::string("activate: no answer");
    }
    volume->mountWithOptions(fskit::FSTaskOptions{}, [](std::optional<Error>) {});
    return ReloadedVolume{volume, nodeIDOfItem(*activated->first)};
}

}  // namespace brindle::host
