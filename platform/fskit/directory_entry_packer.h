#pragma once

#include "platform/fskit/file_name.h"
#include "platform/fskit/item_attributes.h"

#include <cstdint>
#include <optional>

namespace fskit {

// Receives a listing's entries; refuses one (returns false) when it has no room left.
class FSDirectoryEntryPacker {
public:
    virtual ~FSDirectoryEntryPacker() = default;
    virtual bool packEntry(const FSFileName& name, int64_t itemType, uint64_t itemID, uint64_t nextCookie,
                           const std::optional<FSItemAttributes>& attributes) = 0;
};

}  // namespace fskit
