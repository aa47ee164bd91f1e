#include "platform/fskit/file_name.h"

#include "platform/foundation/utf8.h"

namespace fskit {

std::optional<std::string> FSFileName::string() const {
    if (!foundation::isValidUTF8(bytes_)) return std::nullopt;
    return bytes_;
}

}  // namespace fskit
