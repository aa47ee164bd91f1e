#include "sdk/cpp/dispatch/request.h"

#include "brindle/names.h"
#include "platform/foundation/json.h"
#include "platform/log/log.h"
#include "protocol/wire.h"

namespace brindle::sdk {

namespace {
constexpr size_t kNameMax = 255;
// Enough for a reply with two records, the most a metadata call answers with.
constexpr size_t kReplyBlock = 4096;

Error missing(std::string_view key) {
    return Error(Errno::einval, "missing or invalid \"" + std::string(key) + "\"");
}
}  // namespace

Result<uint64_t> Request::u64(std::string_view key) const {
    const auto* value = object.if_contains(key);
    if (value == nullptr) return missing(key);
    if (value->is_uint64()) return value->get_uint64();
    if (value->is_int64() && value->get_int64() >= 0) return static_cast<uint64_t>(value->get_int64());
    return missing(key);
}

Result<uint64_t> Request::u64(std::string_view key, uint64_t fallback) const {
    if (!has(key)) return fallback;
    return u64(key);
}

Result<bool> Request::flag(std::string_view key, bool fallback) const {
    const auto* value = object.if_contains(key);
    if (value == nullptr) return fallback;
    if (!value->is_bool()) return missing(key);
    return value->get_bool();
}

Result<int64_t> Request::i64(std::string_view key) const {
    const auto* value = object.if_contains(key);
    if (value == nullptr) return missing(key);
    if (value->is_int64()) return value->get_int64();
    if (value->is_uint64() && value->get_uint64() <= static_cast<uint64_t>(INT64_MAX)) {
        return static_cast<int64_t>(value->get_uint64());
    }
    return missing(key);
}

Result<std::string> Request::string(std::string_view key) const {
    const auto* value = foundation::json::stringField(object, key);
    if (value == nullptr) return missing(key);
    return std::string(value->data(), value->size());
}

Result<std::string> Request::entryName(std::string_view key) const {
    auto name = string(key);
    if (!name) return name;
    if (!isValidName(name.value())) return Error(Errno::einval, "invalid name \"" + name.value() + "\"");
    // What the client tells programs a name may hold; a backend never sees a longer one.
    if (name.value().size() > kNameMax)
        return Error(Errno::enametoolong, "a name of " + std::to_string(name.value().size()) + " bytes is over 255");
    return name;
}

bool Request::has(std::string_view key) const { return object.contains(key); }

Reply okReply() {
    // A reply's keys and values come from one block, freed at once with the reply: each key of a
    // record was a heap allocation of its own, a stat's reply about forty.
    Reply reply{boost::json::object(boost::json::make_shared_resource<boost::json::monotonic_resource>(kReplyBlock))};
    // "ok", a record or two, "opened" and the request id without growing the table on the way.
    reply.object.reserve(6);
    reply.object[wire::key::ok] = true;
    return reply;
}

Reply errorReply(const Error& error) {
    Reply reply;
    reply.object[wire::key::ok] = false;
    reply.object[wire::key::errnoCode] = static_cast<int>(error.code());
    std::string_view message = error.message();
    if (!isValidUTF8(message)) {
        logging::error("orvel: server sent {} without its message, which is not UTF-8", errnoName(error.code()));
        message = {};
    }
    reply.object[wire::key::error] = message.empty() ? errnoText(error.code()) : message;
    return reply;
}

Reply errorReply(const foundation::Error& error) {
    return errorReply(Error(Errno{error.code()}, error.message().value_or("")));
}

}  // namespace brindle::sdk
