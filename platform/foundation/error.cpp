#include "platform/foundation/error.h"

#include "platform/foundation/errno_table.h"

namespace foundation {

Error Error::fromLinuxErrno(int linuxErrno) { return posix(darwinErrnoFromLinux(linuxErrno)); }

std::string_view domainName(ErrorDomain domain) {
    switch (domain) {
        case ErrorDomain::Posix: return "POSIX";
        case ErrorDomain::FileRead: return "file-read";
        case ErrorDomain::JsonParse: return "json-parse";
    }
    return "unknown";
}

std::string Error::description() const {
    std::string text = fmt::format("{} error {}", domainName(domain_), code_);
    if (domain_ != ErrorDomain::JsonParse) {
        const std::string_view name = darwinErrnoName(code_);
        if (!name.empty()) text += fmt::format(" ({})", name);
    }
    text += ": ";
    text += message_ ? *message_ : std::string(darwinErrnoText(code_));
    return text;
}

}  // namespace foundation
