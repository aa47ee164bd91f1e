#include "conform/verdict.h"

#include "platform/foundation/errno_table.h"

#include <fmt/format.h>

namespace brindle::conform {

std::string describeErrno(int code) {
    const std::string_view name = foundation::darwinErrnoName(code);
    return name.empty() ? fmt::format("errno {}", code) : fmt::format("{} ({})", name, code);
}

std::string describe(const foundation::Error& error) {
    std::string text;
    switch (error.domain()) {
        case foundation::ErrorDomain::Posix: text = describeErrno(error.code()); break;
        case foundation::ErrorDomain::FileRead: text = fmt::format("file read error {}", error.code()); break;
        case foundation::ErrorDomain::JsonParse: text = "unreadable JSON"; break;
    }
    if (error.message()) text += fmt::format(" \"{}\"", *error.message());
    return text;
}

}  // namespace brindle::conform
