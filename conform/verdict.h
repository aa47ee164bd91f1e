#pragma once

#include "platform/foundation/error.h"

#include <stdexcept>
#include <string>

// How a check ends when it does not pass: it throws one of these, with the reason a server's
// author reads in the report.
namespace brindle::conform {

class CheckFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CheckSkipped : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& reason) { throw CheckFailed(reason); }
[[noreturn]] inline void skip(const std::string& reason) { throw CheckSkipped(reason); }
inline void require(bool condition, const std::string& reason) {
    if (!condition) fail(reason);
}

// An error as a report names it: "ENOENT (2) "lookup failed"".
std::string describe(const foundation::Error& error);
// An errno as a report names it: "ENOENT (2)".
std::string describeErrno(int code);

}  // namespace brindle::conform
