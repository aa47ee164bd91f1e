#include "host/fuse/handles/open_handles.h"

namespace brindle::host {

uint64_t OpenHandles::add(std::shared_ptr<OpenHandle> handle) {
    std::lock_guard lock(mutex_);
    const uint64_t id = next_++;
    handles_.emplace(id, std::move(handle));
    return id;
}

std::shared_ptr<OpenHandle> OpenHandles::find(uint64_t id) const {
    std::lock_guard lock(mutex_);
    const auto found = handles_.find(id);
    return found == handles_.end() ? nullptr : found->second;
}

std::shared_ptr<OpenHandle> OpenHandles::take(uint64_t id) {
    std::lock_guard lock(mutex_);
    const auto found = handles_.find(id);
    if (found == handles_.end()) return nullptr;
    auto handle = std::move(found->second);
    handles_.erase(found);
    return handle;
}

}  // namespace brindle::host
