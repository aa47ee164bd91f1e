#pragma once

#include "sdk/cpp/dispatch/request.h"
#include "server/passthrough/file_system.h"

#include <string_view>
#include <vector>

namespace brindle::server {

// Routes a request to the member that serves its "method".
class Dispatcher {
public:
    explicit Dispatcher(FileSystem& fileSystem) : fileSystem_(fileSystem) {}

    // Always a reply; an unknown or missing method is ENOTSUP, the connection stays usable.
    Reply dispatch(const Request& request) const;
    // Every method it serves. The handshake is not one: the door answers it before a
    // connection reaches the dispatcher.
    static std::vector<std::string_view> methodNames();
    // Releases what the connection held; called once when it ends.
    void connectionEnded(uint64_t connectionID) const;

private:
    FileSystem& fileSystem_;
};

}  // namespace brindle::server
