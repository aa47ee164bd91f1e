#pragma once

#include "brindle/errors.h"
#include "brindle/records.h"
#include "server/passthrough/node_table.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace brindle::passthrough {

// Reads an object's attributes without following a trailing symbolic link; `name` "" means `fd` itself.
sdk::Result<struct statx> statObject(int fd, const std::string& name);

// The identity of the object `st` describes, as the node table keeps it.
NodeTable::Stamp stampOf(const struct statx& st);
dev_t deviceOf(const struct statx& st);

// The object's item: identity, place and the whole attribute set.
sdk::Item itemOf(sdk::NodeId node, sdk::NodeId parent, const std::string& name, const struct statx& st);

}  // namespace brindle::passthrough
