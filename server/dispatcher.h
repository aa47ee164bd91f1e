#pragma once

#include "server/file_system.h"
#include "server/request.h"

#include <cstdint>
#include <string_view>

namespace brindle::server {

// Routes a request to the member that serves its "method".
class Dispatcher {
public:
    explicit Dispatcher(FileSystem& fileSystem) : fileSystem_(fileSystem) {}

    // Always a reply; an unknown or missing method is ENOTSUP, the connection stays usable.
    Reply dispatch(const Request& request) const;
    // Releases what the connection still holds, once its last request has been answered.
    void connectionEnded(uint64_t connectionID) const;

private:
    FileSystem& fileSystem_;
};

}  // namespace brindle::server
