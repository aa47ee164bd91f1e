#pragma once

#include "platform/foundation/error.h"

#include <optional>
#include <string>

namespace brindle::sdk {

// Refuses an object at `path` (not followed if it is a link) that belongs to another user: whoever
// put it where this server announces itself may read what is written there or point clients at a
// server of their own. Nothing at `path` is no refusal.
std::optional<foundation::Error> refuseAnotherOwnersObject(const std::string& path);

}  // namespace brindle::sdk
