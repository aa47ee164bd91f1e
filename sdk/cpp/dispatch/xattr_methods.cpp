#include "brindle/names.h"
#include "platform/log/log.h"
#include "protocol/wire.h"
#include "sdk/cpp/dispatch/dispatcher.h"

#include <limits>

namespace brindle::sdk {

namespace key = wire::key;

namespace {

Result<std::string> xattrName(const Request& request) {
    auto name = request.has(key::xattrName) ? request.string(key::xattrName) : Result<std::string>(std::string());
    if (!name) return name;
    if (name.value().find('\0') != std::string::npos) return Error(Errno::einval, "invalid extended attribute name");
    return name;
}

}  // namespace

Reply Dispatcher::listXattrs(const Request& request, const Call& call) {
    if (auto refused = refuseXattrs()) return errorReply(*refused);
    auto node = request.u64(key::nodeID);
    if (!node) return errorReply(node.error());
    auto listed = backend_.listXattrs(call, node.value());
    if (!listed) return errorReply(listed.error());
    boost::json::array names;
    size_t leftOut = 0;
    for (const std::string& name : listed.value()) {
        // A client could neither receive such a name nor name it back.
        if (!isValidUTF8(name)) {
            ++leftOut;
            continue;
        }
        names.emplace_back(name);
    }
    if (leftOut > 0) {
        logging::info("orvel: server left {} extended attributes of node {} out: their names are not UTF-8", leftOut,
                      node.value());
    }
    Reply reply = okReply();
    reply.object[key::xattrNames] = std::move(names);
    return reply;
}

Reply Dispatcher::getXattr(const Request& request, const Call& call) {
    if (auto refused = refuseXattrs()) return errorReply(*refused);
    auto node = request.u64(key::nodeID);
    if (!node) return errorReply(node.error());
    auto name = xattrName(request);
    if (!name) return errorReply(name.error());
    auto value = backend_.getXattr(call, node.value(), name.value());
    if (!value) return errorReply(value.error());
    Reply reply = okReply();
    reply.payload = std::move(value.value());
    return reply;
}

Reply Dispatcher::setXattr(const Request& request, const Call& call) {
    if (auto refused = refuseXattrs()) return errorReply(*refused);
    auto node = request.u64(key::nodeID);
    if (!node) return errorReply(node.error());
    if (auto refused = refuseChange()) return errorReply(*refused);
    auto name = xattrName(request);
    if (!name) return errorReply(name.error());
    auto flags = request.has(key::xattrFlags) ? request.i64(key::xattrFlags) : Result<int64_t>(int64_t{0});
    if (!flags) return errorReply(flags.error());
    if (flags.value() < std::numeric_limits<int32_t>::min() || flags.value() > std::numeric_limits<int32_t>::max()) {
        return errorReply(Error(Errno::einval, "missing or invalid \"xattr_flags\""));
    }
    const auto done = backend_.setXattr(call, node.value(), name.value(), request.payload,
                                        static_cast<int32_t>(flags.value()));
    return done ? okReply() : errorReply(done.error());
}

Reply Dispatcher::removeXattr(const Request& request, const Call& call) {
    if (auto refused = refuseXattrs()) return errorReply(*refused);
    auto node = request.u64(key::nodeID);
    if (!node) return errorReply(node.error());
    if (auto refused = refuseChange()) return errorReply(*refused);
    auto name = xattrName(request);
    if (!name) return errorReply(name.error());
    const auto done = backend_.removeXattr(call, node.value(), name.value());
    return done ? okReply() : errorReply(done.error());
}

}  // namespace brindle::sdk
