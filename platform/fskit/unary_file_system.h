#pragma once

#include "platform/fskit/container.h"

#include <mutex>

namespace fskit {

// Base of a file system that makes at most one volume of one resource.
class FSUnaryFileSystem {
public:
    FSUnaryFileSystem();
    virtual ~FSUnaryFileSystem() = default;

    void setContainerStatus(FSContainerStatus status);
    FSContainerStatus containerStatus() const;

private:
    mutable std::mutex mutex_;
    FSContainerStatus containerStatus_;
};

}  // namespace fskit
