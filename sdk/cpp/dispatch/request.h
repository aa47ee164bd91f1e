#pragma once

#include "platform/foundation/error.h"

#include <boost/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace brindle::server {

// One decoded request: its JSON object and its binary payload.
struct Request {
    const boost::json::object& object;
    const std::string& payload;
    // The connection that sent it, so that what it opens is released when that connection ends.
    uint64_t connectionID = 0;

    foundation::Result<uint64_t> u64(std::string_view key) const;
    foundation::Result<int64_t> i64(std::string_view key) const;
    foundation::Result<std::string> string(std::string_view key) const;
    // A name that must be a single entry of a directory (EINVAL otherwise).
    foundation::Result<std::string> entryName(std::string_view key) const;
    bool has(std::string_view key) const;
};

// One reply: its JSON object (without "request_id") and its binary payload.
struct Reply {
    boost::json::object object;
    std::string payload;
};

Reply okReply();
Reply errorReply(const foundation::Error& error);
// `reply`, or EILSEQ in its place when any text in it is not UTF-8: a frame must never carry such
// text, since the client's JSON parser would refuse the frame and with it the connection.
Reply utf8Checked(Reply reply);

}  // namespace brindle::server
