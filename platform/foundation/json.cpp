#include "platform/foundation/json.h"

#include <cmath>
#include <limits>

namespace foundation::json {
namespace {

template <typename T>
std::optional<T> numberAs(const boost::json::value* value) {
    if (value == nullptr) return std::nullopt;
    if (value->is_uint64()) return static_cast<T>(value->get_uint64());
    if (value->is_int64()) return static_cast<T>(value->get_int64());
    if (value->is_double()) {
        const double d = value->get_double();
        if (!std::isfinite(d)) return std::nullopt;
        // A double outside the target's range has no meaningful conversion; saturate instead of UB.
        if (d <= static_cast<double>(std::numeric_limits<T>::lowest())) return std::numeric_limits<T>::lowest();
        if (d >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
        return static_cast<T>(d);
    }
    return std::nullopt;
}

bool isJsonWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Where a fault at `offset` lies, as "line L, column C", both from 1. The parser stops before the
// whitespace that precedes extra data, so the position moves on to what follows it.
std::string position(std::string_view text, size_t offset) {
    while (offset < text.size() && isJsonWhitespace(text[offset])) ++offset;
    size_t line = 1;
    size_t column = 1;
    for (const char c : text.substr(0, offset)) {
        if (c == '\n') {
            ++line;
            column = 1;
        } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++column;
        }
    }
    return fmt::format("line {}, column {}", line, column);
}

}  // namespace

Result<boost::json::value> parse(std::string_view text) {
    // As boost::json::parse does it: the parser's work space on the stack, the value on the heap.
    unsigned char workSpace[BOOST_JSON_STACK_BUFFER_SIZE];
    boost::json::parser parser(boost::json::storage_ptr(), {}, workSpace);
    parser.reset();
    boost::json::error_code ec;
    const size_t parsed = parser.write(text.data(), text.size(), ec);
    if (ec) {
        return Error(ErrorDomain::JsonParse, kParseErrorCode,
                     fmt::format("The data couldn't be read because it isn't in the correct format ({} at {}).",
                                 ec.message(), position(text, parsed)));
    }
    boost::json::value value = parser.release();
    if (!value.is_object() && !value.is_array()) {
        return Error(ErrorDomain::JsonParse, kParseErrorCode,
                     "JSON text did not start with array or object and option to allow fragments not set.");
    }
    return value;
}

std::string serialize(const boost::json::value& value) { return boost::json::serialize(value); }

bool isNumber(const boost::json::value* value) {
    return value != nullptr && (value->is_int64() || value->is_uint64() || value->is_double());
}

std::optional<uint64_t> uint64Field(const boost::json::object& object, std::string_view key) {
    return numberAs<uint64_t>(object.if_contains(key));
}
std::optional<int64_t> int64Field(const boost::json::object& object, std::string_view key) {
    return numberAs<int64_t>(object.if_contains(key));
}
std::optional<uint32_t> uint32Field(const boost::json::object& object, std::string_view key) {
    const auto wide = uint64Field(object, key);
    if (!wide) return std::nullopt;
    return static_cast<uint32_t>(*wide);
}
std::optional<int32_t> int32Field(const boost::json::object& object, std::string_view key) {
    const auto wide = int64Field(object, key);
    if (!wide) return std::nullopt;
    return static_cast<int32_t>(*wide);
}

const boost::json::string* stringField(const boost::json::object& object, std::string_view key) {
    const boost::json::value* value = object.if_contains(key);
    return value != nullptr ? value->if_string() : nullptr;
}

bool truthValue(const boost::json::value& value) {
    if (value.is_bool()) return value.get_bool();
    if (value.is_int64()) return value.get_int64() != 0;
    if (value.is_uint64()) return value.get_uint64() != 0;
    if (value.is_double()) return value.get_double() != 0.0;
    return false;
}

}  // namespace foundation::json
