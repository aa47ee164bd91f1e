#include "sdk/cpp/dispatch/dispatcher.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "protocol/wire.h"

#include <unordered_map>

namespace brindle::server {

using foundation::Error;
namespace darwin = foundation::darwin;
namespace method = wire::method;

namespace {

using Member = Reply (FileSystem::*)(const Request&);

const std::unordered_map<std::string_view, Member>& members() {
    static const std::unordered_map<std::string_view, Member> table{
        {method::ping, &FileSystem::ping},
        {method::synchronize, &FileSystem::synchronize},
        {method::getRootAttributes, &FileSystem::getRootAttributes},
        {method::statfs, &FileSystem::statfs},
        {method::getAttributes, &FileSystem::getAttributes},
        {method::setAttributes, &FileSystem::setAttributes},
        {method::lookup, &FileSystem::lookup},
        {method::createFile, &FileSystem::createFile},
        {method::createDirectory, &FileSystem::createDirectory},
        {method::createSymlink, &FileSystem::createSymlink},
        {method::removeFile, &FileSystem::removeFile},
        {method::removeDirectory, &FileSystem::removeDirectory},
        {method::rename, &FileSystem::rename},
        {method::readlink, &FileSystem::readlink},
        {method::openDirectory, &FileSystem::openDirectory},
        {method::enumerateDirectory, &FileSystem::enumerateDirectory},
        {method::closeDirectory, &FileSystem::closeDirectory},
        {method::open, &FileSystem::open},
        {method::close, &FileSystem::close},
        {method::read, &FileSystem::read},
        {method::write, &FileSystem::write},
        {method::listXattrs, &FileSystem::listXattrs},
        {method::getXattr, &FileSystem::getXattr},
        {method::setXattr, &FileSystem::setXattr},
        {method::removeXattr, &FileSystem::removeXattr},
    };
    return table;
}

}  // namespace

Reply Dispatcher::dispatch(const Request& request) const {
    const auto* name = foundation::json::stringField(request.object, wire::key::method);
    if (name == nullptr) return errorReply(Error::posix(darwin::einval, "request without \"method\""));
    if (*name == method::handshake) return errorReply(Error::posix(darwin::einval, "already authenticated"));
    const auto it = members().find(std::string_view(name->data(), name->size()));
    if (it == members().end()) {
        return errorReply(Error::posix(darwin::enotsup, "unknown method \"" + std::string(name->c_str()) + "\""));
    }
    return utf8Checked((fileSystem_.*(it->second))(request));
}

std::vector<std::string_view> Dispatcher::methodNames() {
    std::vector<std::string_view> names;
    for (const auto& [name, member] : members()) names.push_back(name);
    return names;
}

void Dispatcher::connectionEnded(uint64_t connectionID) const { fileSystem_.connectionEnded(connectionID); }

}  // namespace brindle::server
