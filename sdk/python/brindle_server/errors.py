"""Errors as the protocol carries them: every errno on the wire is Darwin-numbered, whatever the
platform the server runs on."""

import errno
import os

# Darwin's number for each errno name that Linux has too. Names Darwin lacks have no number here
# and go out as EIO.
DARWIN_ERRNO = {
    "EPERM": 1, "ENOENT": 2, "ESRCH": 3, "EINTR": 4, "EIO": 5, "ENXIO": 6, "E2BIG": 7, "ENOEXEC": 8,
    "EBADF": 9, "ECHILD": 10, "EDEADLK": 11, "EDEADLOCK": 11, "ENOMEM": 12, "EACCES": 13,
    "EFAULT": 14, "ENOTBLK": 15, "EBUSY": 16, "EEXIST": 17, "EXDEV": 18, "ENODEV": 19,
    "ENOTDIR": 20, "EISDIR": 21, "EINVAL": 22, "ENFILE": 23, "EMFILE": 24, "ENOTTY": 25,
    "ETXTBSY": 26, "EFBIG": 27, "ENOSPC": 28, "ESPIPE": 29, "EROFS": 30, "EMLINK": 31, "EPIPE": 32,
    "EDOM": 33, "ERANGE": 34, "EAGAIN": 35, "EWOULDBLOCK": 35, "EINPROGRESS": 36, "EALREADY": 37,
    "ENOTSOCK": 38, "EDESTADDRREQ": 39, "EMSGSIZE": 40, "EPROTOTYPE": 41, "ENOPROTOOPT": 42,
    "EPROTONOSUPPORT": 43, "ESOCKTNOSUPPORT": 44, "ENOTSUP": 45, "EPFNOSUPPORT": 46,
    "EAFNOSUPPORT": 47, "EADDRINUSE": 48, "EADDRNOTAVAIL": 49, "ENETDOWN": 50, "ENETUNREACH": 51,
    "ENETRESET": 52, "ECONNABORTED": 53, "ECONNRESET": 54, "ENOBUFS": 55, "EISCONN": 56,
    "ENOTCONN": 57, "ESHUTDOWN": 58, "ETOOMANYREFS": 59, "ETIMEDOUT": 60, "ECONNREFUSED": 61,
    "ELOOP": 62, "ENAMETOOLONG": 63, "EHOSTDOWN": 64, "EHOSTUNREACH": 65, "ENOTEMPTY": 66,
    "EUSERS": 68, "EDQUOT": 69, "ESTALE": 70, "EREMOTE": 71, "ENOLCK": 77, "ENOSYS": 78,
    "EOVERFLOW": 84, "ECANCELED": 89, "EIDRM": 90, "ENOMSG": 91, "EILSEQ": 92, "ENOATTR": 93,
    "EBADMSG": 94, "EMULTIHOP": 95, "ENODATA": 96, "ENOLINK": 97, "ENOSR": 98, "ENOSTR": 99,
    "EPROTO": 100, "ETIME": 101, "EOPNOTSUPP": 102, "ENOTRECOVERABLE": 104, "EOWNERDEAD": 105,
}

# Linux numbers that stand for two names, or for a meaning Darwin names otherwise: ENOTSUP and
# EOPNOTSUPP share a number (clients report unsupported operations as ENOTSUP), and a missing
# extended attribute is ENODATA on Linux and ENOATTR to the client.
_LOCAL_OVERRIDES = {
    errno.ENOTSUP: DARWIN_ERRNO["ENOTSUP"],
    errno.ENODATA: DARWIN_ERRNO["ENOATTR"],
}


def darwin_errno(local_errno):
    """The wire's number for an errno of this platform (an OSError's errno); EIO when Darwin has
    no such error."""
    if local_errno in _LOCAL_OVERRIDES:
        return _LOCAL_OVERRIDES[local_errno]
    return DARWIN_ERRNO.get(errno.errorcode.get(local_errno, ""), DARWIN_ERRNO["EIO"])


class WireError(Exception):
    """A failure answered with a Darwin errno and a message. The SDK raises it for requests it
    refuses and for handler results it cannot send; an author may raise it to choose a Darwin
    number that has no local counterpart."""

    def __init__(self, darwin, message):
        super().__init__(message)
        self.darwin = darwin
        self.message = message


def einval(message):
    return WireError(DARWIN_ERRNO["EINVAL"], message)


class HandlerFault(WireError):
    """A handler's result that cannot go on the wire: the fault is the server's, so it is logged
    as an error and answered EIO."""

    def __init__(self, message):
        super().__init__(DARWIN_ERRNO["EIO"], message)


def eio(message):
    return HandlerFault(message)


# The errno an OSError subclass stands for when it was raised without one.
_ERRNO_OF_CLASS = (
    (FileNotFoundError, errno.ENOENT), (FileExistsError, errno.EEXIST), (IsADirectoryError, errno.EISDIR),
    (NotADirectoryError, errno.ENOTDIR), (PermissionError, errno.EACCES), (InterruptedError, errno.EINTR),
    (BlockingIOError, errno.EAGAIN), (TimeoutError, errno.ETIMEDOUT), (BrokenPipeError, errno.EPIPE),
    (ConnectionRefusedError, errno.ECONNREFUSED), (ConnectionResetError, errno.ECONNRESET),
)


def errno_of(error):
    """The local errno an OSError carries: its errno, the number it was raised with alone
    (OSError(errno.ENOENT) keeps it only in args), or what its class stands for; EIO otherwise."""
    if isinstance(error.errno, int):
        return error.errno
    if len(error.args) == 1 and isinstance(error.args[0], int) and not isinstance(error.args[0], bool):
        return error.args[0]
    for cls, number in _ERRNO_OF_CLASS:
        if isinstance(error, cls):
            return number
    return errno.EIO


def wire_error_of(error):
    """(Darwin errno, message) for an OSError a handler raised. The message is the error's text
    without its file name, which is a path on the server's side."""
    number = errno_of(error)
    message = error.strerror if isinstance(error.strerror, str) and error.strerror else os.strerror(number)
    return darwin_errno(number), message
