#pragma once

#include <algorithm>
#include <cstddef>

namespace brindle::sdk {

// What one connection may hold of a cap shared by all: never all of it, so that a client that
// opens until it is refused still leaves a quarter for the others.
constexpr size_t connectionShare(size_t limit) { return std::max<size_t>(1, limit - limit / 4); }

}  // namespace brindle::sdk
