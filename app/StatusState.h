#pragma once

namespace orvel {

// What the window tells about the module; a signed number so that unknown values can be passed on.
enum class StatusState : int {
    checking = 0,
    missing = 1,
    disabled = 2,
    enabled = 3,
    error = 4,
};

} // namespace orvel
