#pragma once

#include "platform/foundation/error.h"
#include "platform/foundation/url.h"

#include <string>

namespace foundation {

// Reads a whole file. Failures are file-read errors whose code is the Darwin errno of the cause.
Result<std::string> readWholeFile(const URL& url);

}  // namespace foundation
