#include "host/fuse/translation/error_mapping.h"

#include "platform/foundation/errno_table.h"

#include <cerrno>

namespace brindle::host {

int linuxErrnoForError(const std::optional<foundation::Error>& error) {
    if (!error) return EIO;
    switch (error->domain()) {
        case foundation::ErrorDomain::Posix:
            // 0 would tell the kernel the call succeeded.
            return error->code() > 0 ? foundation::linuxErrnoFromDarwin(error->code()) : EIO;
        case foundation::ErrorDomain::FileRead: return EIO;
        case foundation::ErrorDomain::JsonParse: return EINVAL;
    }
    return EIO;
}

}  // namespace brindle::host
