#pragma once

#include "platform/foundation/error.h"

#include <string>

namespace brindle::host {

// An error as the command line prints it after naming the object: the Linux name and message,
// then the protocol's Darwin number, e.g. "ECONNREFUSED: Connection refused (61)". A message the
// server or the module gave replaces the system's text.
std::string errorText(const foundation::Error& error);

}  // namespace brindle::host
