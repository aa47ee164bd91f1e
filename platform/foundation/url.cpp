#include "platform/foundation/url.h"

namespace foundation {

bool SecurityScopedAccess::start() {
    if (!grant()) return false;
    openCount_.fetch_add(1);
    return true;
}

void SecurityScopedAccess::stop() {
    // A stop without a matching start changes nothing, as on the platform.
    int current = openCount_.load();
    while (current > 0 && !openCount_.compare_exchange_weak(current, current - 1)) {
    }
}

URL::URL(std::string path, std::shared_ptr<SecurityScopedAccess> access)
    : path_(std::move(path)), access_(std::move(access)) {}

URL URL::fileURLWithPath(std::string path, std::shared_ptr<SecurityScopedAccess> access) {
    return URL(std::move(path), std::move(access));
}

}  // namespace foundation
