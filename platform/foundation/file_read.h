#pragma once

#include "platform/foundation/error.h"
#include "platform/foundation/url.h"

#include <string>

namespace foundation {

// Reads a whole file. Failures are file-read errors whose code is the Darwin errno of the cause.
Result<std::string> readWholeFile(const URL& url);

// Reads a whole file that holds a secret, as ssh reads a private key: through one descriptor,
// opened without following a symbolic link in its last component, and only when that descriptor
// shows a regular file owned by the caller or root that group and others can neither read nor
// write. A refusal is a POSIX error whose message says what is wrong and what to do; other
// failures are as readWholeFile's.
Result<std::string> readPrivateFile(const URL& url);

}  // namespace foundation
