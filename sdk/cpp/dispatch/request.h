#pragma once

#include "brindle/errors.h"
#include "platform/foundation/error.h"

#include <boost/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace brindle::sdk {

// One decoded request: its JSON object and its binary payload. A key that is missing or of the
// wrong kind is EINVAL naming the key.
struct Request {
    const boost::json::object& object;
    const std::string& payload;
    // The connection that sent it, so that what it opens is released when that connection ends.
    uint64_t connectionID = 0;

    Result<uint64_t> u64(std::string_view key) const;
    // `fallback` when the key is absent.
    Result<uint64_t> u64(std::string_view key, uint64_t fallback) const;
    Result<int64_t> i64(std::string_view key) const;
    // `fallback` when the key is absent.
    Result<bool> flag(std::string_view key, bool fallback) const;
    Result<std::string> string(std::string_view key) const;
    // A name that must be a single entry of a directory.
    Result<std::string> entryName(std::string_view key) const;
    bool has(std::string_view key) const;
};

// One reply: its JSON object (without "request_id") and its binary payload.
struct Reply {
    boost::json::object object;
    std::string payload;
};

Reply okReply();
// The error's message, or its errno's text when it has none; a message that is not UTF-8 (which
// no frame may carry) is replaced by that text.
Reply errorReply(const Error& error);
Reply errorReply(const foundation::Error& error);

}  // namespace brindle::sdk
