#include "module/rpc/BrindleRPCClient.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "protocol/extensions.h"
#include "protocol/wire.h"

namespace brindle {

using foundation::Error;
namespace darwin = foundation::darwin;
namespace json = foundation::json;
namespace key = wire::key;
namespace method = wire::method;
using boost::json::object;

namespace {

object lockRequest(std::string_view wireName, uint64_t nodeID, const BrindleLock& lock) {
    object request{{key::method, wireName},       {key::nodeID, nodeID},   {key::lockOwner, lock.owner},
                   {key::lockStyle, lock.style},  {key::lockType, lock.type}};
    if (lock.style == wire::lock::posix) {
        request[key::lockStart] = lock.start;
        request[key::lockLength] = lock.length;
    }
    if (lock.pid != 0) request[key::lockPid] = lock.pid;
    return request;
}

Error withoutLocks() {
    return Error::posix(darwin::enotsup, "the server does not offer locks across clients");
}

}  // namespace

void BrindleRPCClient::setLockOnNodeID(uint64_t nodeID, const BrindleLock& lock, SuccessReply reply) {
    if (!serverSupports(wire::extension::locks)) return reply(false, withoutLocks());
    performBooleanRequest(lockRequest(method::setLock, nodeID, lock), std::string(method::setLock) + " failed",
                          std::move(reply));
}

void BrindleRPCClient::testLockOnNodeID(uint64_t nodeID, const BrindleLock& lock, LockTestReply reply) {
    if (!serverSupports(wire::extension::locks)) return reply(std::nullopt, withoutLocks());
    performRequest(lockRequest(method::testLock, nodeID, lock),
                   [reply = std::move(reply)](std::optional<object> response, std::optional<Error> error) {
                       if (error) return reply(std::nullopt, std::move(error));
                       const boost::json::value* ok = response->if_contains(key::ok);
                       if (ok == nullptr || !json::truthValue(*ok)) {
                           return reply(std::nullopt, rpcErrorFromResponse(*response, darwin::eio,
                                                                           std::string(method::testLock) + " failed"));
                       }
                       const auto* type = json::stringField(*response, key::lockType);
                       if (type == nullptr || (*type != wire::lock::read && *type != wire::lock::write)) {
                           if (type != nullptr && *type == wire::lock::unlock) return reply(std::nullopt, std::nullopt);
                           return reply(std::nullopt, Error::posix(darwin::eio, "test_lock: the reply's \"lock_type\" "
                                                                                "is not \"read\", \"write\" or \"unlock\""));
                       }
                       BrindleLock conflicting;
                       conflicting.style = std::string(wire::lock::posix);
                       conflicting.type = std::string(type->data(), type->size());
                       conflicting.start = json::uint64Field(*response, key::lockStart).value_or(0);
                       conflicting.length = json::uint64Field(*response, key::lockLength).value_or(0);
                       conflicting.pid = json::uint64Field(*response, key::lockPid).value_or(0);
                       reply(std::move(conflicting), std::nullopt);
                   });
}

}  // namespace brindle
