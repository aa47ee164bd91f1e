#pragma once

namespace fskit {

// Base of every item a module hands the file-system service; the service hands the same
// objects back as the targets of later operations.
class FSItem {
public:
    virtual ~FSItem() = default;
};

}  // namespace fskit
