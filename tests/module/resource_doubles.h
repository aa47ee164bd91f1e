#pragma once

#include "platform/foundation/url.h"
#include "platform/fskit/resource.h"

#include <string>

namespace moduletest {

// Security-scoped access that the platform refuses.
class RefusingAccess final : public foundation::SecurityScopedAccess {
protected:
    bool grant() override { return false; }
};

// A resource that is not a path resource.
class BlockResource final : public fskit::FSResource {
public:
    std::string description() const override { return "FSBlockDeviceResource(disk9)"; }
};

}  // namespace moduletest
