#include "conform/expect.h"

#include "platform/foundation/errno_table.h"

#include <fmt/format.h>

namespace brindle::conform {

std::string failureText(const std::optional<foundation::Error>& error) {
    return error ? describe(*error) : std::string("no error given");
}

std::string wrongErrnoText(int wanted, const std::optional<foundation::Error>& got) {
    std::string text = "expected " + describeErrno(wanted) + ", got " + failureText(got);
    if (got && got->domain() == foundation::ErrorDomain::Posix && got->code() != wanted &&
        got->code() == foundation::linuxErrnoFromDarwin(wanted)) {
        text += fmt::format("; {} is Linux's number for {}, and the protocol numbers errors as Darwin does",
                            got->code(), foundation::darwinErrnoName(wanted));
    }
    return text;
}

}  // namespace brindle::conform
