#pragma once

#include <fmt/format.h>

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace foundation {

// Which family an error's code belongs to. POSIX codes are always Darwin-numbered.
enum class ErrorDomain { Posix, FileRead, JsonParse };

// An error value: a domain, a code and, where one was given, a message meant for users.
class Error {
public:
    Error(ErrorDomain domain, int code, std::optional<std::string> message = std::nullopt)
        : domain_(domain), code_(code), message_(std::move(message)) {}

    static Error posix(int darwinCode) { return Error(ErrorDomain::Posix, darwinCode); }
    static Error posix(int darwinCode, std::string message) {
        return Error(ErrorDomain::Posix, darwinCode, std::move(message));
    }
    // An error from a failed Linux system call: the errno is renumbered at once.
    static Error fromLinuxErrno(int linuxErrno);

    ErrorDomain domain() const { return domain_; }
    int code() const { return code_; }
    const std::optional<std::string>& message() const { return message_; }
    bool isPosix(int darwinCode) const { return domain_ == ErrorDomain::Posix && code_ == darwinCode; }

    // One line for logs and users: domain, code (with its name for POSIX codes) and message.
    std::string description() const;

    friend bool operator==(const Error&, const Error&) = default;

private:
    ErrorDomain domain_;
    int code_;
    std::optional<std::string> message_;
};

std::string_view domainName(ErrorDomain domain);

// A value or the error that prevented it.
template <typename T>
class Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    const Error& error() const { return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

}  // namespace foundation

template <>
struct fmt::formatter<foundation::Error> : fmt::formatter<std::string_view> {
    template <typename Context>
    auto format(const foundation::Error& error, Context& ctx) const {
        return fmt::formatter<std::string_view>::format(error.description(), ctx);
    }
};
