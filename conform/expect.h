#pragma once

#include "conform/connection.h"
#include "conform/verdict.h"

#include <string>

// What a check demands of one call's outcome; each failure names the call and what came back.
namespace brindle::conform {

// Why an outcome failed, for a reason line.
std::string failureText(const std::optional<foundation::Error>& error);
// The reason for an error other than the one wanted. When the server sent the Linux number for
// it, the reason says so: the protocol numbers errors as Darwin does.
std::string wrongErrnoText(int wanted, const std::optional<foundation::Error>& got);

template <typename T>
T succeeded(Outcome<T> outcome, const std::string& what) {
    if (!outcome.value) fail(what + " failed: " + failureText(outcome.error));
    return std::move(*outcome.value);
}

template <typename T>
void failsWith(const Outcome<T>& outcome, int code, const std::string& what) {
    if (outcome.value) fail(what + " succeeded; it must fail with " + describeErrno(code));
    if (!outcome.error || !outcome.error->isPosix(code)) fail(what + ": " + wrongErrnoText(code, outcome.error));
}

template <typename T>
foundation::Error failsAtAll(const Outcome<T>& outcome, const std::string& what) {
    if (outcome.value) fail(what + " succeeded; it must fail");
    return outcome.error.value_or(foundation::Error::posix(5));
}

}  // namespace brindle::conform
