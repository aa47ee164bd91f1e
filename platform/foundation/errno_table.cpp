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
// ENOATTR does not exist on Linux: its meaning there is ENODATA. Every other Linux errno whose name
// Darwin has is listed under Darwin's number; the rest (Darwin's RPC and Mach-O codes, Linux's
// STREAMS, key and medium codes) have no counterpart and become EIO.
constexpr std::array kTable{
    ErrnoEntry{1, EPERM, "EPERM", "Operation not permitted"},
    ErrnoEntry{2, ENOENT, "ENOENT", "No such file or directory"},
    ErrnoEntry{3, ESRCH, "ESRCH", "No such process"},
    ErrnoEntry{4, EINTR, "EINTR", "Interrupted system call"},
    ErrnoEntry{5, EIO, "EIO", "Input/output error"},
    ErrnoEntry{6, ENXIO, "ENXIO", "Device not configured"},
    ErrnoEntry{7, E2BIG, "E2BIG", "Argument list too long"},
    ErrnoEntry{8, ENOEXEC, "ENOEXEC", "Exec format error"},
    ErrnoEntry{9, EBADF, "EBADF", "Bad file descriptor"},
    ErrnoEntry{10, ECHILD, "ECHILD", "No child processes"},
    ErrnoEntry{11, EDEADLK, "EDEADLK", "Resource deadlock avoided"},
    ErrnoEntry{12, ENOMEM, "ENOMEM", "Cannot allocate memory"},
    ErrnoEntry{13, EACCES, "EACCES", "Permission denied"},
    ErrnoEntry{14, EFAULT, "EFAULT", "Bad address"},
    ErrnoEntry{15, ENOTBLK, "ENOTBLK", "Block device required"},
    ErrnoEntry{16, EBUSY, "EBUSY", "Resource busy"},
    ErrnoEntry{17, EEXIST, "EEXIST", "File exists"},
    ErrnoEntry{18, EXDEV, "EXDEV", "Cross-device link"},
    ErrnoEntry{19, ENODEV, "ENODEV", "Operation not supported by device"},
    ErrnoEntry{20, ENOTDIR, "ENOTDIR", "Not a directory"},
    ErrnoEntry{21, EISDIR, "EISDIR", "Is a directory"},
    ErrnoEntry{22, EINVAL, "EINVAL", "Invalid argument"},
    ErrnoEntry{23, ENFILE, "ENFILE", "Too many open files in system"},
    ErrnoEntry{24, EMFILE, "EMFILE", "Too many open files"},
    ErrnoEntry{25, ENOTTY, "ENOTTY", "Inappropriate ioctl for device"},
    ErrnoEntry{26, ETXTBSY, "ETXTBSY", "Text file busy"},
    ErrnoEntry{27, EFBIG, "EFBIG", "File too large"},
    ErrnoEntry{28, ENOSPC, "ENOSPC", "No space left on device"},
    ErrnoEntry{29, ESPIPE, "ESPIPE", "Illegal seek"},
    ErrnoEntry{30, EROFS, "EROFS", "Read-only file system"},
    ErrnoEntry{31, EMLINK, "EMLINK", "Too many links"},
    ErrnoEntry{32, EPIPE, "EPIPE", "Broken pipe"},
    ErrnoEntry{33, EDOM, "EDOM", "Numerical argument out of domain"},
    ErrnoEntry{34, ERANGE, "ERANGE", "Result too large"},
    ErrnoEntry{35, EAGAIN, "EAGAIN", "Resource temporarily unavailable"},
    ErrnoEntry{36, EINPROGRESS, "EINPROGRESS", "Operation now in progress"},
    ErrnoEntry{37, EALREADY, "EALREADY", "Operation already in progress"},
    ErrnoEntry{38, ENOTSOCK, "ENOTSOCK", "Socket operation on non-socket"},
    ErrnoEntry{39, EDESTADDRREQ, "EDESTADDRREQ", "Destination address required"},
    ErrnoEntry{40, EMSGSIZE, "EMSGSIZE", "Message too long"},
    ErrnoEntry{41, EPROTOTYPE, "EPROTOTYPE", "Protocol wrong type for socket"},
    ErrnoEntry{42, ENOPROTOOPT, "ENOPROTOOPT", "Protocol not available"},
    ErrnoEntry{43, EPROTONOSUPPORT, "EPROTONOSUPPORT", "Protocol not supported"},
    ErrnoEntry{44, ESOCKTNOSUPPORT, "ESOCKTNOSUPPORT", "Socket type not supported"},
    ErrnoEntry{45, ENOTSUP, "ENOTSUP", "Operation not supported"},
    ErrnoEntry{46, EPFNOSUPPORT, "EPFNOSUPPORT", "Protocol family not supported"},
    ErrnoEntry{47, EAFNOSUPPORT, "EAFNOSUPPORT", "Address family not supported by protocol family"},
    ErrnoEntry{48, EADDRINUSE, "EADDRINUSE", "Address already in use"},
    ErrnoEntry{49, EADDRNOTAVAIL, "EADDRNOTAVAIL", "Can't assign requested address"},
    ErrnoEntry{50, ENETDOWN, "ENETDOWN", "Network is down"},
    ErrnoEntry{51, ENETUNREACH, "ENETUNREACH", "Network is unreachable"},
    ErrnoEntry{52, ENETRESET, "ENETRESET", "Network dropped connection on reset"},
    ErrnoEntry{53, ECONNABORTED, "ECONNABORTED", "Software caused connection abort"},
    ErrnoEntry{54, ECONNRESET, "ECONNRESET", "Connection reset by peer"},
    ErrnoEntry{55, ENOBUFS, "ENOBUFS", "No buffer space available"},
    ErrnoEntry{56, EISCONN, "EISCONN", "Socket is already connected"},
    ErrnoEntry{57, ENOTCONN, "ENOTCONN", "Socket is not connected"},
    ErrnoEntry{58, ESHUTDOWN, "ESHUTDOWN", "Can't send after socket shutdown"},
    ErrnoEntry{59, ETOOMANYREFS, "ETOOMANYREFS", "Too many references: can't splice"},
    ErrnoEntry{60, ETIMEDOUT, "ETIMEDOUT", "Operation timed out"},
    ErrnoEntry{61, ECONNREFUSED, "ECONNREFUSED", "Connection refused"},
    ErrnoEntry{62, ELOOP, "ELOOP", "Too many levels of symbolic links"},
    ErrnoEntry{63, ENAMETOOLONG, "ENAMETOOLONG", "File name too long"},
    ErrnoEntry{64, EHOSTDOWN, "EHOSTDOWN", "Host is down"},
    ErrnoEntry{65, EHOSTUNREACH, "EHOSTUNREACH", "No route to host"},
    ErrnoEntry{66, ENOTEMPTY, "ENOTEMPTY", "Directory not empty"},
    ErrnoEntry{68, EUSERS, "EUSERS", "Too many users"},
    ErrnoEntry{69, EDQUOT, "EDQUOT", "Disc quota exceeded"},
    ErrnoEntry{70, ESTALE, "ESTALE", "Stale NFS file handle"},
    ErrnoEntry{71, EREMOTE, "EREMOTE", "Too many levels of remote in path"},
    ErrnoEntry{77, ENOLCK, "ENOLCK", "No locks available"},
    ErrnoEntry{78, ENOSYS, "ENOSYS", "Function not implemented"},
    ErrnoEntry{84, EOVERFLOW, "EOVERFLOW", "Value too large to be stored in data type"},
    ErrnoEntry{89, ECANCELED, "ECANCELED", "Operation canceled"},
    ErrnoEntry{90, EIDRM, "EIDRM", "Identifier removed"},
    ErrnoEntry{91, ENOMSG, "ENOMSG", "No message of desired type"},
    ErrnoEntry{92, EILSEQ, "EILSEQ", "Illegal byte sequence"},
    ErrnoEntry{93, ENODATA, "ENOATTR", "Attribute not found"},
    ErrnoEntry{94, EBADMSG, "EBADMSG", "Bad message"},
    ErrnoEntry{95, EMULTIHOP, "EMULTIHOP", "EMULTIHOP (Reserved)"},
    ErrnoEntry{96, ENODATA, "ENODATA", "No message available on STREAM"},
    ErrnoEntry{97, ENOLINK, "ENOLINK", "ENOLINK (Reserved)"},
    ErrnoEntry{98, ENOSR, "ENOSR", "No STREAM resources"},
    ErrnoEntry{99, ENOSTR, "ENOSTR", "Not a STREAM"},
    ErrnoEntry{100, EPROTO, "EPROTO", "Protocol error"},
    ErrnoEntry{101, ETIME, "ETIME", "STREAM ioctl timeout"},
    ErrnoEntry{102, EOPNOTSUPP, "EOPNOTSUPP", "Operation not supported on socket"},
    ErrnoEntry{104, ENOTRECOVERABLE, "ENOTRECOVERABLE", "State not recoverable"},
    ErrnoEntry{105, EOWNERDEAD, "EOWNERDEAD", "Previous owner died"},
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

std::optional<int> darwinErrnoNamed(std::string_view name) {
    for (const auto& entry : kTable) {
        if (entry.name == name) return entry.darwin;
    }
    return std::nullopt;
}

std::string_view darwinErrnoText(int darwinErrno) {
    const ErrnoEntry* entry = entryForDarwin(darwinErrno);
    return entry ? entry->text : std::string_view{"Unknown error"};
}

int currentDarwinErrno() { return darwinErrnoFromLinux(errno); }

}  // namespace foundation
