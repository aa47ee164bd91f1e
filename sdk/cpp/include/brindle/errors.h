#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace brindle::sdk {

// The error numbers a server answers with. The protocol numbers them as Darwin does, whatever the
// platform the server runs on, so an errno from a Linux call must go through errnoFromLinux.
// Any other Darwin number may be written as Errno{n}.
enum class Errno : int {
    eperm = 1,
    enoent = 2,
    eio = 5,
    ebadf = 9,
    edeadlk = 11,
    enomem = 12,
    eacces = 13,
    eexist = 17,
    exdev = 18,
    enodev = 19,
    enotdir = 20,
    eisdir = 21,
    einval = 22,
    emfile = 24,
    efbig = 27,
    enospc = 28,
    erofs = 30,
    emlink = 31,
    epipe = 32,
    erange = 34,
    eagain = 35,
    einprogress = 36,
    emsgsize = 40,
    enotsup = 45,
    eafnosupport = 47,
    eaddrinuse = 48,
    enetunreach = 51,
    econnaborted = 53,
    econnreset = 54,
    enotconn = 57,
    etimedout = 60,
    econnrefused = 61,
    eloop = 62,
    enametoolong = 63,
    ehostunreach = 65,
    enotempty = 66,
    edquot = 69,
    estale = 70,
    enolck = 77,
    enosys = 78,
    eoverflow = 84,
    ecanceled = 89,
    eilseq = 92,
    enoattr = 93,
    ebadmsg = 94,
    enodata = 96,
    eproto = 100,
    eopnotsupp = 102,
};

// A Linux errno as the Darwin number that means the same (ENODATA, a missing extended attribute,
// is ENOATTR); one that Darwin has no name for becomes EIO.
Errno errnoFromLinux(int linuxErrno);
// "ENOENT"; empty for a number outside Darwin's table.
std::string_view errnoName(Errno code);
// "No such file or directory": the text a reply carries when the error has no message of its own.
std::string_view errnoText(Errno code);

// What a failed call answers: an errno and, optionally, a message for the user.
class Error {
public:
    Error(Errno code) : code_(code) {}
    Error(Errno code, std::string message) : code_(code), message_(std::move(message)) {}
    // The errno a Linux system call left, translated, with `message` in front of its text.
    static Error fromLinux(int linuxErrno, std::string_view message = {});
    // The same for errno as the calling thread has it now.
    static Error lastSystemError(std::string_view message = {});

    Errno code() const { return code_; }
    // Empty when the errno's own text says it all.
    const std::string& message() const { return message_; }

    friend bool operator==(const Error&, const Error&) = default;

private:
    Errno code_;
    std::string message_;
};

// One line for users and logs, the message first: "cannot open /x: No such file or directory (ENOENT)".
std::string describe(const Error& error);

// A value, or the error that stands in its place.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}
    Result(Errno code) : state_(std::in_place_index<1>, Error(code)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const Error& error() const { return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), failed_(true) {}
    Result(Errno code) : error_(code), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return error_; }

private:
    Error error_{Errno::eio};
    bool failed_ = false;
};

}  // namespace brindle::sdk
