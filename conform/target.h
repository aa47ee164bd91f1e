#pragma once

#include "module/BrindleSessionDescriptor.h"

#include <chrono>
#include <memory>
#include <string>

namespace brindle::conform {

// What a server's author says the server does; checks of what it does not do are skipped.
struct Claims {
    bool readOnly = false;
    bool xattrs = true;
    bool symlinks = true;
};

// The server under test: its session, what it claims, and how long one call may wait.
struct Target {
    std::shared_ptr<const BrindleSessionDescriptor> session;
    std::string sessionPath;
    Claims claims;
    std::chrono::milliseconds timeout{5000};
    // The directory the server exports, where the kit may reach it; empty: it may not.
    std::string exportDirectory;
};

}  // namespace brindle::conform
