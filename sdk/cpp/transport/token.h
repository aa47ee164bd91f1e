#pragma once

#include "platform/foundation/error.h"

#include <string>
#include <string_view>

namespace brindle::sdk {

// A fresh token: 32 bytes (256 bits) from the kernel's random source, as lower-case hex.
foundation::Result<std::string> randomToken();

// Compares without an early exit, so the time taken tells nothing about where two tokens differ.
bool constantTimeEquals(std::string_view given, std::string_view expected);

}  // namespace brindle::sdk
