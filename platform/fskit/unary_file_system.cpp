#include "platform/fskit/unary_file_system.h"

#include "platform/foundation/errno_table.h"

namespace fskit {

// A container is not ready until a resource is loaded.
FSUnaryFileSystem::FSUnaryFileSystem()
    : containerStatus_(FSContainerStatus::notReadyWithStatus(foundation::Error::posix(0))) {}

void FSUnaryFileSystem::setContainerStatus(FSContainerStatus status) {
    std::lock_guard lock(mutex_);
    containerStatus_ = std::move(status);
}

FSContainerStatus FSUnaryFileSystem::containerStatus() const {
    std::lock_guard lock(mutex_);
    return containerStatus_;
}

}  // namespace fskit
