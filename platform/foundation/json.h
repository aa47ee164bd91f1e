#pragma once

#include "platform/foundation/error.h"

#include <boost/json.hpp>

#include <cstdint>
#include <optional>
#include <string_view>

// JSON as the platform's serializer treats it: a bare scalar at the top level is a parse error,
// and a boolean never counts where a number is asked for.
namespace foundation::json {

// The code the platform's parser reports for text it cannot read.
inline constexpr int kParseErrorCode = 3840;

// Parses one JSON document whose root is an object or an array.
Result<boost::json::value> parse(std::string_view text);

// Compact serialization (no whitespace).
std::string serialize(const boost::json::value& value);

// True for integers and floating-point numbers, false for booleans and everything else.
bool isNumber(const boost::json::value* value);

// The number under `key` taken at the given width, or none when it is missing or not a number.
// Values outside the width are converted as C++ converts them; the server is not expected to send them.
std::optional<uint64_t> uint64Field(const boost::json::object& object, std::string_view key);
std::optional<int64_t> int64Field(const boost::json::object& object, std::string_view key);
std::optional<uint32_t> uint32Field(const boost::json::object& object, std::string_view key);
std::optional<int32_t> int32Field(const boost::json::object& object, std::string_view key);
const boost::json::string* stringField(const boost::json::object& object, std::string_view key);

// True when a number or boolean is truthy: non-zero, or true. Anything else is false.
bool truthValue(const boost::json::value& value);

}  // namespace foundation::json
