#include "sdk/cpp/dispatch/dispatcher.h"

#include "platform/foundation/json.h"
#include "platform/log/log.h"
#include "protocol/extensions.h"
#include "protocol/wire.h"
#include "sdk/cpp/dispatch/results.h"

#include <algorithm>
#include <exception>
#include <unordered_map>

namespace brindle::sdk {

namespace method = wire::method;

Dispatcher::Dispatcher(Backend& backend, const Limits& limits, std::vector<std::string> advertised)
    : backend_(backend),
      capabilities_(backend.capabilities()),
      advertised_(std::move(advertised)),
      openFiles_(limits.maxOpenFiles),
      directories_(limits.maxOpenDirectories, limits.listingBudget),
      locks_(limits.maxLocksPerConnection) {
    if (advertises(wire::extension::changeNotices)) changeNotices_.emplace(limits.untoldChangesPerClient, limits.longestChangeWait);
}

const std::unordered_map<std::string_view, Dispatcher::Method>& Dispatcher::methods() {
    static const std::unordered_map<std::string_view, Method> table{
        {method::ping, &Dispatcher::ping},
        {method::synchronize, &Dispatcher::synchronize},
        {method::getRootAttributes, &Dispatcher::getRootAttributes},
        {method::statfs, &Dispatcher::statfs},
        {method::getAttributes, &Dispatcher::getAttributes},
        {method::setAttributes, &Dispatcher::setAttributes},
        {method::lookup, &Dispatcher::lookup},
        {method::createFile, &Dispatcher::createFile},
        {method::createDirectory, &Dispatcher::createDirectory},
        {method::createSymlink, &Dispatcher::createSymlink},
        {method::removeFile, &Dispatcher::removeFile},
        {method::removeDirectory, &Dispatcher::removeDirectory},
        {method::rename, &Dispatcher::rename},
        {method::readlink, &Dispatcher::readlink},
        {method::openDirectory, &Dispatcher::openDirectory},
        {method::enumerateDirectory, &Dispatcher::enumerateDirectory},
        {method::closeDirectory, &Dispatcher::closeDirectory},
        {method::open, &Dispatcher::open},
        {method::close, &Dispatcher::close},
        {method::read, &Dispatcher::read},
        {method::write, &Dispatcher::write},
        {method::listXattrs, &Dispatcher::listXattrs},
        {method::getXattr, &Dispatcher::getXattr},
        {method::setXattr, &Dispatcher::setXattr},
        {method::removeXattr, &Dispatcher::removeXattr},
        {method::setLock, &Dispatcher::setLock},
        {method::testLock, &Dispatcher::testLock},
        {method::forgetNodes, &Dispatcher::forgetNodes},
    };
    return table;
}

Reply Dispatcher::dispatch(const Request& request) {
    const auto* name = foundation::json::stringField(request.object, wire::key::method);
    if (name == nullptr) return errorReply(Error(Errno::einval, "request without \"method\""));
    const std::string_view asked(name->data(), name->size());
    if (asked == method::handshake) return errorReply(Error(Errno::einval, "already authenticated"));
    const auto found = methods().find(asked);
    if (found == methods().end()) {
        return errorReply(Error(Errno::enotsup, "unknown method \"" + std::string(asked) + "\""));
    }
    const auto& [wireName, member] = *found;
    logging::debug("orvel: server call {}", wireName);
    const Call call(*this, request.connectionID, wireName);
    try {
        Reply reply = (this->*member)(request, call);
        const auto* ok = reply.object.if_contains(wire::key::ok);
        if (changeNotices_ && ok != nullptr && ok->is_bool() && ok->as_bool()) {
            recordChange(request, wireName);
        }
        return reply;
    } catch (const std::exception& thrown) {
        return errorReply(handlerFault(wireName, std::string("the handler threw: ") + thrown.what()));
    } catch (...) {
        return errorReply(handlerFault(wireName, "the handler threw something other than an exception"));
    }
}

std::vector<std::string_view> Dispatcher::methodNames() {
    std::vector<std::string_view> names;
    for (const auto& [name, member] : methods()) names.push_back(name);
    names.push_back(method::waitForChanges);
    return names;
}

void Dispatcher::connectionEnded(uint64_t connectionID) {
    releaseHeld(connectionID);
    locks_.removeConnection(connectionID);
    openFiles_.removeConnection(connectionID);
    directories_.closeConnection(connectionID);
    try {
        backend_.connectionEnded(connectionID);
    } catch (const std::exception& thrown) {
        logging::error("orvel: server: connectionEnded threw: {}", thrown.what());
    } catch (...) {
        logging::error("orvel: server: connectionEnded threw something other than an exception");
    }
}

std::shared_ptr<OpenFile> Dispatcher::openFile(uint64_t connection, NodeId node) const {
    const auto entry = openFiles_.find(connection, node);
    return entry ? entry->file : nullptr;
}

std::shared_ptr<OpenDirectory> Dispatcher::openDirectory(uint64_t connection, NodeId node) const {
    return directories_.directory(connection, node);
}

std::optional<Error> Dispatcher::refuseChange() const {
    if (capabilities_.readOnly) return Error(Errno::erofs, "the file system is read-only");
    return std::nullopt;
}

bool Dispatcher::advertises(std::string_view extension) const {
    return std::ranges::find(advertised_, extension) != advertised_.end();
}

std::optional<Error> Dispatcher::refuseXattrs() const {
    if (!capabilities_.xattrs) return Error(Errno::enotsup, "extended attributes are not enabled");
    return std::nullopt;
}

}  // namespace brindle::sdk
