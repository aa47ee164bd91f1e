#include "host/fuse/ops/open_recovery.h"

#include "host/fuse/translation/error_mapping.h"
#include "platform/log/log.h"

#include <cerrno>
#include <future>

namespace brindle::host {

bool openUsableOrFail(const KernelRequest& request, OpenHandle& handle, const std::shared_ptr<BrindleItem>& item) {
    const VolumeGeneration& generation = request.generation();
    // Held across the reopen, so that concurrent reads through one open make it once.
    std::unique_lock lock(handle.generationMutex);
    if (handle.generation == generation.number) return true;
    if (handle.directory || (handle.modes & BrindleVolume::openModeWrite) || !item) {
        if (!handle.lossReported) {
            handle.lossReported = true;
            logging::info("orvel: open {} ino={} fails with EIO: {} when the connection to the server was lost",
                          handle.directory ? "directory" : "file", handle.inode,
                          handle.directory ? "it was being listed" : "it was open for writing");
        }
        lock.unlock();
        request.fail(EIO);
        return false;
    }
    auto promise = std::make_shared<std::promise<std::optional<foundation::Error>>>();
    auto opened = promise->get_future();
    generation.volume->openItem(item, BrindleVolume::openModeRead,
                                [promise](std::optional<foundation::Error> error) { promise->set_value(error); });
    const auto until = request.until();
    const bool answered = until ? opened.wait_until(*until) == std::future_status::ready : (opened.wait(), true);
    if (!answered) {
        lock.unlock();
        request.fail(EIO);
        return false;
    }
    if (const auto error = opened.get()) {
        lock.unlock();
        request.fail(error);
        return false;
    }
    request.context()->inodes.moveOpen(handle.inode, handle.modes, handle.generation, generation.number);
    handle.item = item;
    handle.generation = generation.number;
    return true;
}

bool openGoesOn(const KernelRequest& request, const fuse_file_info* info, const std::shared_ptr<BrindleItem>& item) {
    if (info == nullptr) return true;
    const auto handle = request.context()->handles.find(info->fh);
    return !handle || openUsableOrFail(request, *handle, item);
}

}  // namespace brindle::host
