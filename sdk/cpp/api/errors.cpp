#include "brindle/errors.h"

#include "platform/foundation/errno_table.h"

#include <fmt/format.h>

#include <cerrno>

namespace brindle::sdk {

Errno errnoFromLinux(int linuxErrno) { return Errno{foundation::darwinErrnoFromLinux(linuxErrno)}; }

std::string_view errnoName(Errno code) { return foundation::darwinErrnoName(static_cast<int>(code)); }

std::string_view errnoText(Errno code) { return foundation::darwinErrnoText(static_cast<int>(code)); }

Error Error::fromLinux(int linuxErrno, std::string_view message) {
    const Errno code = errnoFromLinux(linuxErrno);
    if (message.empty()) return Error(code);
    return Error(code, std::string(message) + ": " + std::string(errnoText(code)));
}

std::string describe(const Error& error) {
    const std::string_view text = error.message().empty() ? errnoText(error.code()) : std::string_view(error.message());
    const std::string_view name = errnoName(error.code());
    if (name.empty()) return fmt::format("{} (error {})", text, static_cast<int>(error.code()));
    return fmt::format("{} ({})", text, name);
}

Error Error::lastSystemError(std::string_view message) { return fromLinux(errno, message); }

}  // namespace brindle::sdk
