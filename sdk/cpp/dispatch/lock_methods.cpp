#include "protocol/extensions.h"
#include "protocol/wire.h"
#include "sdk/cpp/dispatch/dispatcher.h"

namespace brindle::sdk {

namespace key = wire::key;
namespace lock = wire::lock;

namespace {

std::string_view typeName(LockTable::Type type) {
    switch (type) {
    case LockTable::Type::read: return lock::read;
    case LockTable::Type::write: return lock::write;
    case LockTable::Type::unlock: break;
    }
    return lock::unlock;
}

// The lock a request describes, for the connection that sent it.
Result<LockTable::Lock> requestedLock(const Request& request, bool allowUnlock) {
    LockTable::Lock wanted;
    wanted.connection = request.connectionID;
    auto owner = request.u64(key::lockOwner);
    if (!owner) return owner.error();
    wanted.owner = owner.value();
    auto style = request.string(key::lockStyle);
    if (!style) return style.error();
    if (style.value() == lock::posix) {
        wanted.style = LockTable::Style::posix;
    } else if (style.value() == lock::flock) {
        wanted.style = LockTable::Style::flock;
    } else {
        return Error(Errno::einval, "\"lock_style\" must be \"posix\" or \"flock\"");
    }
    auto type = request.string(key::lockType);
    if (!type) return type.error();
    if (type.value() == lock::read) {
        wanted.type = LockTable::Type::read;
    } else if (type.value() == lock::write) {
        wanted.type = LockTable::Type::write;
    } else if (allowUnlock && type.value() == lock::unlock) {
        wanted.type = LockTable::Type::unlock;
    } else {
        return Error(Errno::einval, allowUnlock ? "\"lock_type\" must be \"read\", \"write\" or \"unlock\""
                                                : "\"lock_type\" must be \"read\" or \"write\"");
    }
    auto pid = request.u64(key::lockPid, 0);
    if (!pid) return pid.error();
    wanted.pid = pid.value();
    // A flock covers the whole file whatever the range says.
    if (wanted.style == LockTable::Style::flock) return wanted;
    auto start = request.u64(key::lockStart, 0);
    if (!start) return start.error();
    auto length = request.u64(key::lockLength, 0);
    if (!length) return length.error();
    wanted.start = start.value();
    if (length.value() == 0) {
        wanted.end = LockTable::kToEnd;
    } else if (length.value() > LockTable::kToEnd - wanted.start) {
        return Error(Errno::einval, "\"lock_start\" and \"lock_length\" reach past the largest offset");
    } else {
        wanted.end = wanted.start + length.value();
    }
    if (wanted.start >= wanted.end) return Error(Errno::einval, "\"lock_start\" is past the largest offset");
    return wanted;
}

}  // namespace

std::optional<Error> Dispatcher::refuseLocks() const {
    if (!advertises(wire::extension::locks)) return Error(Errno::enotsup, "this server does not offer the \"locks\" extension");
    return std::nullopt;
}

Reply Dispatcher::setLock(const Request& request, const Call& call) {
    if (auto refused = refuseLocks()) return errorReply(*refused);
    auto node = request.u64(key::nodeID);
    if (!node) return errorReply(node.error());
    auto wanted = requestedLock(request, true);
    if (!wanted) return errorReply(wanted.error());
    // Releasing needs no node: a file removed meanwhile still lets its holder go.
    if (wanted.value().type != LockTable::Type::unlock) {
        auto attributes = backend_.getAttributes(call, node.value());
        if (!attributes) return errorReply(attributes.error());
    }
    const auto answer = locks_.set(node.value(), wanted.value());
    switch (answer.outcome) {
    case LockTable::Outcome::done: return okReply();
    case LockTable::Outcome::conflict:
        return errorReply(Error(Errno::eagain, "another owner holds a conflicting lock"));
    case LockTable::Outcome::full: break;
    }
    return errorReply(Error(Errno::enolck, "this connection holds as many locks as the server allows"));
}

Reply Dispatcher::testLock(const Request& request, const Call& call) {
    if (auto refused = refuseLocks()) return errorReply(*refused);
    auto node = request.u64(key::nodeID);
    if (!node) return errorReply(node.error());
    auto wanted = requestedLock(request, false);
    if (!wanted) return errorReply(wanted.error());
    auto attributes = backend_.getAttributes(call, node.value());
    if (!attributes) return errorReply(attributes.error());
    Reply reply = okReply();
    const auto conflicting = locks_.test(node.value(), wanted.value());
    if (!conflicting) {
        reply.object[key::lockType] = lock::unlock;
        return reply;
    }
    reply.object[key::lockType] = typeName(conflicting->type);
    reply.object[key::lockStart] = conflicting->start;
    reply.object[key::lockLength] =
        conflicting->end == LockTable::kToEnd ? uint64_t{0} : conflicting->end - conflicting->start;
    reply.object[key::lockPid] = conflicting->pid;
    return reply;
}

}  // namespace brindle::sdk
