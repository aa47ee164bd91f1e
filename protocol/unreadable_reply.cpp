#include "protocol/unreadable_reply.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "protocol/wire.h"

#include <boost/json/basic_parser_impl.hpp>

#include <string>

namespace brindle::framing {
namespace {

using boost::json::error_code;
using boost::json::string_view;

// Watches the parser's events for the value of the root object's "request_id". Events stop at the
// first syntax fault, so an id is only ever taken from text that parsed up to and including it.
class RequestIDWatcher {
public:
    static constexpr std::size_t max_object_size = std::size_t(-1);
    static constexpr std::size_t max_array_size = std::size_t(-1);
    static constexpr std::size_t max_key_size = std::size_t(-1);
    static constexpr std::size_t max_string_size = std::size_t(-1);

    std::optional<uint64_t> requestID() const { return requestID_; }

    bool on_document_begin(error_code&) { return true; }
    bool on_document_end(error_code&) { return true; }
    bool on_object_begin(error_code&) { return enter(); }
    bool on_object_end(std::size_t, error_code&) { return leave(); }
    bool on_array_begin(error_code&) { return enter(); }
    bool on_array_end(std::size_t, error_code&) { return leave(); }
    bool on_key_part(string_view part, std::size_t, error_code&) {
        key_.append(part.data(), part.size());
        return true;
    }
    bool on_key(string_view part, std::size_t, error_code&) {
        key_.append(part.data(), part.size());
        // Keys exist only in objects, so a key at depth 1 is one of the root object's.
        awaitingID_ = depth_ == 1 && key_ == wire::key::requestID;
        key_.clear();
        return true;
    }
    bool on_string_part(string_view, std::size_t, error_code&) { return take(boost::json::value()); }
    bool on_string(string_view, std::size_t, error_code&) { return take(boost::json::value()); }
    bool on_number_part(string_view, error_code&) { return true; }
    bool on_int64(int64_t value, string_view, error_code&) { return take(value); }
    bool on_uint64(uint64_t value, string_view, error_code&) { return take(value); }
    bool on_double(double value, string_view, error_code&) { return take(value); }
    bool on_bool(bool, error_code&) { return take(boost::json::value()); }
    bool on_null(error_code&) { return take(boost::json::value()); }
    bool on_comment_part(string_view, error_code&) { return true; }
    bool on_comment(string_view, error_code&) { return true; }

private:
    bool enter() {
        take(boost::json::value());
        ++depth_;
        return true;
    }
    bool leave() {
        --depth_;
        return true;
    }
    // The value that follows the key, read by the same rule as a well-formed reply's id.
    bool take(boost::json::value value) {
        if (!awaitingID_) return true;
        awaitingID_ = false;
        requestID_ = foundation::json::uint64Field(boost::json::object{{wire::key::requestID, std::move(value)}},
                                                   wire::key::requestID);
        return true;
    }

    int depth_ = 0;
    std::string key_;
    bool awaitingID_ = false;
    std::optional<uint64_t> requestID_;
};

}  // namespace

std::optional<UnreadableReply> identifyUnreadableReply(std::string_view json) {
    boost::json::parse_options options;
    options.allow_invalid_utf8 = true;
    boost::json::basic_parser<RequestIDWatcher> parser(options);
    error_code ec;
    const std::size_t consumed = parser.write_some(false, json.data(), json.size(), ec);
    const auto requestID = parser.handler().requestID();
    if (!requestID) return std::nullopt;
    if (!ec && consumed == json.size()) {
        return UnreadableReply{*requestID,
                               foundation::Error::posix(foundation::darwin::eilseq, "the server's reply is not valid UTF-8")};
    }
    const std::string reason = ec ? ec.message() : "extra data after the reply";
    return UnreadableReply{*requestID,
                           foundation::Error::posix(foundation::darwin::eio, "the server's reply is not valid JSON (" +
                                                                                  reason + ")")};
}

}  // namespace brindle::framing
