#pragma once

#include "platform/foundation/error.h"

#include <optional>

namespace brindle::host {

// The Linux errno that a FUSE reply carries for a module error. A failure without an error
// object is EIO, as the volume itself treats it.
int linuxErrnoForError(const std::optional<foundation::Error>& error);

}  // namespace brindle::host
