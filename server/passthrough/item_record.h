#pragma once

#include "platform/foundation/error.h"
#include "protocol/item_record.h"
#include "server/passthrough/node_table.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace brindle::server {

// Reads an object's attributes without following a trailing symbolic link; `name` "" means `fd` itself.
foundation::Result<struct statx> statObject(int fd, const std::string& name);

// The identity of the object `st` describes, as the node table keeps it.
NodeTable::Stamp stampOf(const struct statx& st);
dev_t deviceOf(const struct statx& st);

// The object's item record: identity, type, name and the whole attribute set.
wire::ItemRecord itemRecord(uint64_t nodeID, uint64_t parentID, const std::string& name, const struct statx& st);

}  // namespace brindle::server
