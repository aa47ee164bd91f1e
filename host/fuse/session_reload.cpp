#include "host/fuse/session_reload.h"

#include "host/fuse/error_text.h"
#include "host/fuse/inode_table.h"
#include "platform/foundation/errno_table.h"

#include <future>

namespace brindle::host {

namespace {

using foundation::Error;
using namespace std::chrono_literals;

// Waits for a completion the module calls once from its callback queue; the promise is shared so
// that one arriving after the wait gave up still has somewhere to go.
template <typename T>
std::optional<T> awaitReply(const std::function<void(std::function<void(T)>)>& start, std::chrono::milliseconds bound,
                            const std::function<bool()>& ending) {
    auto promise = std::make_shared<std::promise<T>>();
    auto future = promise->get_future();
    start([promise](T value) { promise->set_value(std::move(value)); });
    const auto giveUp = std::chrono::steady_clock::now() + bound;
    while (!ending()) {
        auto slice = std::chrono::steady_clock::duration(50ms);
        if (bound != 0ms) {
            const auto left = giveUp - std::chrono::steady_clock::now();
            if (left <= 0ms) return std::nullopt;
            slice = std::min(slice, left);
        }
        if (future.wait_for(slice) == std::future_status::ready) return future.get();
    }
    return std::nullopt;
}

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

    const auto loaded = awaitReply<Loaded>(
        [&](std::function<void(Loaded)> complete) {
            fileSystem.loadResource(resource, fskit::FSTaskOptions{},
                                    [complete](std::shared_ptr<BrindleVolume> volume, std::optional<Error> error) {
                                        complete({std::move(volume), std::move(error)});
                                    });
        },
        bound, ending);
    if (!loaded || !loaded->first) {
        fileSystem.unloadResource(resource, fskit::FSTaskOptions{}, [](std::optional<Error>) {});
        return loaded ? failure("load", loaded->second) : std::string("load: no answer");
    }
    const auto volume = loaded->first;
    const auto activated = awaitReply<Activated>(
        [&](std::function<void(Activated)> complete) {
            volume->activateWithOptions(fskit::FSTaskOptions{},
                                        [complete](std::shared_ptr<BrindleItem> root, std::optional<Error> error) {
                                            complete({std::move(root), std::move(error)});
                                        });
        },
        bound, ending);
    if (!activated || !activated->first) {
        fileSystem.unloadResource(resource, fskit::FSTaskOptions{}, [](std::optional<Error>) {});
        return activated ? failure("activate", activated->second) : std::string("activate: no answer");
    }
    volume->mountWithOptions(fskit::FSTaskOptions{}, [](std::optional<Error>) {});
    return ReloadedVolume{volume, nodeIDOfItem(*activated->first)};
}

}  // namespace brindle::host
