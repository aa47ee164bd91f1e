#pragma once

#include <string_view>

namespace foundation {

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF),
// the only text a JSON peer is bound to accept.
bool isValidUTF8(std::string_view bytes);

}  // namespace foundation
