#pragma once

#include <optional>
#include <string_view>

// POSIX error codes inside the module, on the wire and in every completion are Darwin-numbered,
// whatever the build platform. Linux numbers are translated at the edges only, through this table.
namespace foundation {

namespace darwin {
inline constexpr int eperm = 1;
inline constexpr int enoent = 2;
inline constexpr int eio = 5;
inline constexpr int ebadf = 9;
inline constexpr int edeadlk = 11;
inline constexpr int enomem = 12;
inline constexpr int eacces = 13;
inline constexpr int eexist = 17;
inline constexpr int exdev = 18;
inline constexpr int enodev = 19;
inline constexpr int enotdir = 20;
inline constexpr int eisdir = 21;
inline constexpr int einval = 22;
inline constexpr int emfile = 24;
inline constexpr int efbig = 27;
inline constexpr int enospc = 28;
inline constexpr int erofs = 30;
inline constexpr int emlink = 31;
inline constexpr int epipe = 32;
inline constexpr int erange = 34;
inline constexpr int eagain = 35;
inline constexpr int einprogress = 36;
inline constexpr int emsgsize = 40;
inline constexpr int enotsup = 45;
inline constexpr int eafnosupport = 47;
inline constexpr int eaddrinuse = 48;
inline constexpr int enetunreach = 51;
inline constexpr int econnaborted = 53;
inline constexpr int econnreset = 54;
inline constexpr int enotconn = 57;
inline constexpr int etimedout = 60;
inline constexpr int econnrefused = 61;
inline constexpr int eloop = 62;
inline constexpr int enametoolong = 63;
inline constexpr int ehostunreach = 65;
inline constexpr int enotempty = 66;
inline constexpr int edquot = 69;
inline constexpr int estale = 70;
inline constexpr int enolck = 77;
inline constexpr int enosys = 78;
inline constexpr int eoverflow = 84;
inline constexpr int ecanceled = 89;
inline constexpr int eilseq = 92;
inline constexpr int enoattr = 93;
inline constexpr int ebadmsg = 94;
inline constexpr int enodata = 96;
inline constexpr int eproto = 100;
inline constexpr int eopnotsupp = 102;
}  // namespace darwin

// A Linux errno as its Darwin number; one without a Darwin counterpart becomes EIO.
int darwinErrnoFromLinux(int linuxErrno);
// A Darwin errno as the Linux number that means the same; one Linux cannot express becomes EIO.
int linuxErrnoFromDarwin(int darwinErrno);
// The symbolic name ("ENOENT"), or an empty view for a number outside the table.
std::string_view darwinErrnoName(int darwinErrno);
// The number a symbolic name stands for ("ENOATTR" is 93), or none for a name outside the table.
std::optional<int> darwinErrnoNamed(std::string_view name);
// The platform's usual text for the code ("No such file or directory"), or "Unknown error".
std::string_view darwinErrnoText(int darwinErrno);

// errno of the calling thread, Darwin-numbered.
int currentDarwinErrno();

}  // namespace foundation
