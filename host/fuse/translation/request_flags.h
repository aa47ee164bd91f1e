#pragma once

#include <cstdint>
#include <optional>

namespace brindle::host {

// The FSKit open modes (1 read, 2 write) of open(2) flags.
uint32_t openModesForFlags(int flags);
// The extended-attribute set policy of setxattr(2) flags, or none for a combination that
// cannot be honoured.
std::optional<uint64_t> xattrPolicyForFlags(int flags);

}  // namespace brindle::host
