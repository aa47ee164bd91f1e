#include "server/request.h"

#include "module/rpc/wire.h"
#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "server/export_root.h"

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

}  // namespace brindle::server
