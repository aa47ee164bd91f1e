#pragma once

#include "platform/foundation/errno_table.h"

#include <optional>
#include <string_view>

// Errors on the wire by name, as the schema and a server's author write them ("ENOATTR"). The
// numbers are the Darwin table's, whatever platform either end runs on.
namespace brindle::wire {

inline std::optional<int> errnoNamed(std::string_view name) { return foundation::darwinErrnoNamed(name); }
// "" for a number outside the table.
inline std::string_view errnoName(int code) { return foundation::darwinErrnoName(code); }

}  // namespace brindle::wire
