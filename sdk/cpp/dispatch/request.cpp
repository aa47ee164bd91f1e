#include "sdk/cpp/dispatch/request.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "platform/foundation/utf8.h"
#include "platform/log/log.h"
#include "protocol/wire.h"
#include "server/passthrough/export_root.h"

namespace brindle::server {

using foundation::Error;
namespace darwin = foundation::darwin;

namespace {
Error missing(std::string_view key) {
    return Error::posix(darwin::einval, "missing or invalid \"" + std::string(key) + "\"");
}
}  // namespace

foundation::Result<uint64_t> Request::u64(std::string_view key) const {
    const auto* value = object.if_contains(key);
    if (value == nullptr) return missing(key);
    if (value->is_uint64()) return value->get_uint64();
    if (value->is_int64() && value->get_int64() >= 0) return static_cast<uint64_t>(value->get_int64());
    return missing(key);
}

foundation::Result<int64_t> Request::i64(std::string_view key) const {
    const auto* value = object.if_contains(key);
    if (value == nullptr) return missing(key);
    if (value->is_int64()) return value->get_int64();
    if (value->is_uint64() && value->get_uint64() <= static_cast<uint64_t>(INT64_MAX)) {
        return static_cast<int64_t>(value->get_uint64());
    }
    return missing(key);
}

foundation::Result<std::string> Request::string(std::string_view key) const {
    const auto* value = foundation::json::stringField(object, key);
    if (value == nullptr) return missing(key);
    return std::string(value->data(), value->size());
}

foundation::Result<std::string> Request::entryName(std::string_view key) const {
    auto name = string(key);
    if (!name) return name;
    if (!ExportRoot::validName(name.value())) {
        return Error::posix(darwin::einval, "invalid name \"" + name.value() + "\"");
    }
    return name;
}

bool Request::has(std::string_view key) const { return object.contains(key); }

Reply okReply() {
    Reply reply;
    reply.object[wire::key::ok] = true;
    return reply;
}

Reply errorReply(const Error& error) {
    Reply reply;
    reply.object[wire::key::ok] = false;
    reply.object[wire::key::errnoCode] = error.code();
    reply.object[wire::key::error] =
        error.message() ? *error.message() : std::string(foundation::darwinErrnoText(error.code()));
    return reply;
}

namespace {

bool holdsOnlyUTF8(const boost::json::value& value) {
    switch (value.kind()) {
        case boost::json::kind::string: {
            const auto& text = value.get_string();
            return foundation::isValidUTF8(std::string_view(text.data(), text.size()));
        }
        case boost::json::kind::array:
            for (const auto& element : value.get_array())
                if (!holdsOnlyUTF8(element)) return false;
            return true;
        case boost::json::kind::object:
            for (const auto& [key, element] : value.get_object())
                if (!foundation::isValidUTF8(std::string_view(key.data(), key.size())) || !holdsOnlyUTF8(element)) {
                    return false;
                }
            return true;
        default: return true;
    }
}

}  // namespace

Reply utf8Checked(Reply reply) {
    boost::json::value whole(std::move(reply.object));
    if (holdsOnlyUTF8(whole)) return Reply{std::move(whole.get_object()), std::move(reply.payload)};
    logging::error("orvel: server refused to send a reply holding text that is not UTF-8");
    return errorReply(Error::posix(darwin::eilseq, "a name in the reply is not UTF-8"));
}

}  // namespace brindle::server
