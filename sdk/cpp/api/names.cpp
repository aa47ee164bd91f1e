#include "brindle/names.h"

#include "platform/foundation/utf8.h"

namespace brindle::sdk {

bool isValidUTF8(std::string_view text) { return foundation::isValidUTF8(text); }

bool isValidName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos && isValidUTF8(name);
}

}  // namespace brindle::sdk
