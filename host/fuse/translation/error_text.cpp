#include "host/fuse/translation/error_text.h"

#include "platform/foundation/errno_table.h"

#include <fmt/format.h>

#include <cstring>

namespace brindle::host {

std::string errorText(const foundation::Error& error) {
    if (error.domain() == foundation::ErrorDomain::JsonParse)
        return "invalid JSON: " + error.message().value_or("unreadable");
    const int linuxCode = foundation::linuxErrnoFromDarwin(error.code());
    const char* name = ::strerrorname_np(linuxCode);
    // A file-read error's message repeats the path, which the caller has named already.
    const bool ownMessage = error.domain() == foundation::ErrorDomain::Posix && error.message();
    return fmt::format("{}: {} ({})", name != nullptr ? name : "EIO",
                       ownMessage ? *error.message() : std::string(::strerrordesc_np(linuxCode)), error.code());
}

}  // namespace brindle::host
