#pragma once

#include <string_view>

namespace brindle::sdk {

// Well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF): the only text the
// protocol's JSON can carry.
bool isValidUTF8(std::string_view text);
// A single directory entry's name: UTF-8, not empty, no "/" or NUL, not "." or "..".
bool isValidName(std::string_view name);

}  // namespace brindle::sdk
