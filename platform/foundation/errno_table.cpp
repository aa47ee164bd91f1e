#include "platform/foundation/errno_table.h"

#include <array>
#include <cerrno>

namespace foundation {
namespace {

struct ErrnoEntry {
    int darwin;
    int linuxNumber;
    std::string_view name;
    std::string_view text;
};

// ENOTSUP and EOPNOTSUPP share one Linux number; Linux's ENOTSUP is listed first so that it
// maps back to Darwin ENOTSUP (45), which is what the module reports for unsupported operations.
// ENOATTR does not exist on Linux: its meaning there is ENODATA.
constexpr std::array kTable{
    ErrnoEntry{1, EPERM, "EPERM", "Operation not permitted"},
    ErrnoEntry{2, ENOENT, "ENOENT", "No such file or directory"},
    ErrnoEntry{5, EIO, "EIO", "Input/output error"},
    ErrnoEntry{9, EBADF, "EBADF", "Bad file descriptor"},
    ErrnoEntry{11, EDEADLK, "EDEADLK", "Resource deadlock avoided"},
    ErrnoEntry{12, ENOMEM, "ENOMEM", "Cannot allocate memory"},
    ErrnoEntry{13, EACCES, "EACCES", "Permission denied"},
    ErrnoEntry{17, EEXIST, "EEXIST", "File exists"},
    ErrnoEntry{18, EXDEV, "EXDEV", "Cross-device link"},
    ErrnoEntry{19, ENODEV, "ENODEV", "Operation not supported by device"},
    ErrnoEntry{20, ENOTDIR, "ENOTDIR", "Not a directory"},
    ErrnoEntry{21, EISDIR, "EISDIR", "Is a directory"},
    ErrnoEntry{22, EINVAL, "EINVAL", "Invalid argument"},
    ErrnoEntry{24, EMFILE, "EMFILE", "Too many open files"},
    ErrnoEntry{27, EFBIG, "EFBIG", "File too large"},
    ErrnoEntry{28, ENOSPC, "ENOSPC", "No space left on device"},
    ErrnoEntry{30, EROFS, "EROFS", "Read-only file system"},
    ErrnoEntry{31, EMLINK, "EMLINK", "Too many links"},
    ErrnoEntry{32, EPIPE, "EPIPE", "Broken pipe"},
    ErrnoEntry{34, ERANGE, "ERANGE", "Result too large"},
    ErrnoEntry{35, EAGAIN, "EAGAIN", "Resource temporarily unavailable"},
    ErrnoEntry{36, EINPROGRESS, "EINPROGRESS", "Operation now in progress"},
    ErrnoEntry{40, EMSGSIZE, "EMSGSIZE", "Message too long"},
    ErrnoEntry{45, ENOTSUP, "ENOTSUP", "Operation not supported"},
    ErrnoEntry{47, EAFNOSUPPORT, "EAFNOSUPPORT", "Address family not supported by protocol family"},
    ErrnoEntry{48, EADDRINUSE, "EADDRINUSE", "Address already in use"},
    ErrnoEntry{51, ENETUNREACH, "ENETUNREACH", "Network is unreachable"},
    ErrnoEntry{53, ECONNABORTED, "ECONNABORTED", "Software caused connection abort"},
    ErrnoEntry{54, ECONNRESET, "ECONNRESET", "Connection reset by peer"},
    ErrnoEntry{57, ENOTCONN, "ENOTCONN", "Socket is not connected"},
    ErrnoEntry{60, ETIMEDOUT, "ETIMEDOUT", "Operation timed out"},
    ErrnoEntry{61, ECONNREFUSED, "ECONNREFUSED", "Connection refused"},
    ErrnoEntry{62, ELOOP, "ELOOP", "Too many levels of symbolic links"},
    ErrnoEntry{63, ENAMETOOLONG, "ENAMETOOLONG", "File name too long"},
    ErrnoEntry{65, EHOSTUNREACH, "EHOSTUNREACH", "No route to host"},
    ErrnoEntry{66, ENOTEMPTY, "ENOTEMPTY", "Directory not empty"},
    ErrnoEntry{69, EDQUOT, "EDQUOT", "Disc quota exceeded"},
    ErrnoEntry{70, ESTALE, "ESTALE", "Stale NFS file handle"},
    ErrnoEntry{77, ENOLCK, "ENOLCK", "No locks available"},
    ErrnoEntry{78, ENOSYS, "ENOSYS", "Function not implemented"},
    ErrnoEntry{84, EOVERFLOW, "EOVERFLOW", "Value too large to be stored in data type"},
    ErrnoEntry{89, ECANCELED, "ECANCELED", "Operation canceled"},
    ErrnoEntry{92, EILSEQ, "EILSEQ", "Illegal byte sequence"},
    ErrnoEntry{93, ENODATA, "ENOATTR", "Attribute not found"},
    ErrnoEntry{94, EBADMSG, "EBADMSG", "Bad message"},
    ErrnoEntry{96, ENODATA, "ENODATA", "No message available on STREAM"},
    ErrnoEntry{100, EPROTO, "EPROTO", "Protocol error"},
    ErrnoEntry{102, EOPNOTSUPP, "EOPNOTSUPP", "Operation not supported on socket"},
};

const ErrnoEntry* entryForDarwin(int darwinErrno) {
    for (const auto& entry : kTable) {
        if (entry.darwin == darwinErrno) return &entry;
    }
    return nullptr;
}

}  // namespace

int darwinErrnoFromLinux(int linuxErrno) {
    // ENODATA is what Linux reports for a missing extended attribute, which Darwin calls ENOATTR.
    if (linuxErrno == ENODATA) return darwin::enoattr;
    for (const auto& entry : kTable) {
        if (entry.linuxNumber == linuxErrno) return entry.darwin;
    }
    return darwin::eio;
}

int linuxErrnoFromDarwin(int darwinErrno) {
    const ErrnoEntry* entry = entryForDarwin(darwinErrno);
    return entry ? entry->linuxNumber : EIO;
}

std::string_view darwinErrnoName(int darwinErrno) {
    const ErrnoEntry* entry = entryForDarwin(darwinErrno);
    return entry ? entry->name : std::string_view{};
}

std::string_view darwinErrnoText(int darwinErrno) {
    const ErrnoEntry* entry = entryForDarwin(darwinErrno);
    return entry ? entry->text : std::string_view{"Unknown error"};
}

int currentDarwinErrno() { return darwinErrnoFromLinux(errno); }

}  // namespace foundation
