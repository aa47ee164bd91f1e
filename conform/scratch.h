#pragma once

#include "conform/check.h"
#include "conform/connection.h"

#include <optional>
#include <string>

namespace brindle::conform {

// Makes a directory of a name no one else uses under the server's root; on failure the Scratch
// says why, for every check that needed it.
Scratch makeScratch(const Target& target, uint64_t rootID);
// Removes the scratch directory and everything in it. None when all is gone, else what is left.
std::optional<std::string> removeScratch(const Target& target, uint64_t rootID, const Scratch& scratch);

}  // namespace brindle::conform
