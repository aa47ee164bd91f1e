#include "platform/foundation/errno_table.h"
#include "platform/foundation/utf8.h"
#include "platform/log/log.h"
#include "protocol/wire.h"
#include "server/passthrough/file_system.h"

#include <fcntl.h>
#include <sys/xattr.h>

#include <cerrno>

namespace brindle::server {

using foundation::Error;
namespace darwin = foundation::darwin;
namespace key = wire::key;

namespace {

// Client names live in Linux's "user." namespace, the only one an ordinary user may write.
constexpr std::string_view kNamespace = "user.";
// The client's XATTR_CREATE and XATTR_REPLACE.
constexpr int64_t kCreateFlag = 2;
constexpr int64_t kReplaceFlag = 4;

Error xattrError() {
    // A missing attribute is ENODATA on Linux and ENOATTR to the client.
    if (errno == ENODATA) return Error::posix(darwin::enoattr, "no such extended attribute");
    return Error::fromLinuxErrno(errno);
}

}  // namespace

foundation::Result<FileSystem::XattrTarget> FileSystem::xattrTarget(const Request& request, bool changing) const {
    if (!options_.namedattr) return Error::posix(darwin::enotsup, "extended attributes are not enabled");
    auto nodeID = request.u64(key::nodeID);
    if (!nodeID) return nodeID.error();
    if (changing) {
        if (auto refused = refuseChange()) return *refused;
    }
    std::string name;
    if (request.has(key::xattrName)) {
        auto given = request.string(key::xattrName);
        if (!given) return given.error();
        name = std::move(given.value());
    }
    if (name.find('\0') != std::string::npos || name.size() + kNamespace.size() > XATTR_NAME_MAX) {
        return Error::posix(darwin::einval, "invalid extended attribute name");
    }
    std::shared_ptr<UniqueFd> fd;
    bool isLink = false;
    if (const auto open = openFiles_.find(request.connectionID, nodeID.value())) {
        fd = open->fd;
    } else {
        auto located = locate(nodeID.value(), O_PATH);
        if (!located) return located.error();
        isLink = S_ISLNK(located.value().st.stx_mode);
        fd = std::make_shared<UniqueFd>(std::move(located.value().fd));
    }
    return XattrTarget{std::move(fd), isLink, std::string(kNamespace) + name, nodeID.value()};
}

Reply FileSystem::listXattrs(const Request& request) {
    auto target = xattrTarget(request, false);
    if (!target) return errorReply(target.error());
    Reply reply = okReply();
    boost::json::array names;
    // Linux keeps no user attributes on symbolic links.
    if (!target.value().isLink) {
        const std::string path = descriptorPath(target.value().fd->get());
        std::string buffer;
        for (;;) {
            const ssize_t size = ::listxattr(path.c_str(), nullptr, 0);
            if (size < 0) return errorReply(xattrError());
            buffer.resize(static_cast<size_t>(size));
            const ssize_t n = size == 0 ? 0 : ::listxattr(path.c_str(), buffer.data(), buffer.size());
            if (n < 0 && errno == ERANGE) continue;  // grew meanwhile
            if (n < 0) return errorReply(xattrError());
            buffer.resize(static_cast<size_t>(n));
            break;
        }
        size_t leftOut = 0;
        for (size_t start = 0; start < buffer.size();) {
            const size_t end = buffer.find('\0', start);
            const std::string_view name(buffer.data() + start, (end == std::string::npos ? buffer.size() : end) - start);
            start = end == std::string::npos ? buffer.size() : end + 1;
            if (!name.starts_with(kNamespace) || name.size() == kNamespace.size()) continue;
            // A client could neither receive such a name nor name it back.
            if (!foundation::isValidUTF8(name)) {
                ++leftOut;
                continue;
            }
            names.emplace_back(name.substr(kNamespace.size()));
        }
        if (leftOut > 0) {
            logging::info("orvel: server left {} extended attributes of node {} out: their names are not UTF-8",
                          leftOut, target.value().nodeID);
        }
    }
    reply.object[key::xattrNames] = std::move(names);
    return reply;
}

Reply FileSystem::getXattr(const Request& request) {
    auto target = xattrTarget(request, false);
    if (!target) return errorReply(target.error());
    if (target.value().isLink) return errorReply(Error::posix(darwin::enoattr, "no such extended attribute"));
    const std::string path = descriptorPath(target.value().fd->get());
    const char* name = target.value().name.c_str();
    Reply reply = okReply();
    for (;;) {
        const ssize_t size = ::getxattr(path.c_str(), name, nullptr, 0);
        if (size < 0) return errorReply(xattrError());
        reply.payload.resize(static_cast<size_t>(size));
        const ssize_t n = size == 0 ? 0 : ::getxattr(path.c_str(), name, reply.payload.data(), reply.payload.size());
        if (n < 0 && errno == ERANGE) continue;
        if (n < 0) return errorReply(xattrError());
        reply.payload.resize(static_cast<size_t>(n));
        return reply;
    }
}

Reply FileSystem::setXattr(const Request& request) {
    auto target = xattrTarget(request, true);
    if (!target) return errorReply(target.error());
    auto flags = request.has(key::xattrFlags) ? request.i64(key::xattrFlags) : foundation::Result<int64_t>(0);
    if (!flags) return errorReply(flags.error());
    if (target.value().isLink) {
        return errorReply(Error::posix(darwin::enotsup, "symbolic links carry no extended attributes"));
    }
    int linuxFlags = 0;
    if (flags.value() & kCreateFlag) linuxFlags |= XATTR_CREATE;
    if (flags.value() & kReplaceFlag) linuxFlags |= XATTR_REPLACE;
    const std::string path = descriptorPath(target.value().fd->get());
    if (::setxattr(path.c_str(), target.value().name.c_str(), request.payload.data(), request.payload.size(),
                   linuxFlags) != 0) {
        return errorReply(xattrError());
    }
    return okReply();
}

Reply FileSystem::removeXattr(const Request& request) {
    auto target = xattrTarget(request, true);
    if (!target) return errorReply(target.error());
    if (target.value().isLink) return errorReply(Error::posix(darwin::enoattr, "no such extended attribute"));
    const std::string path = descriptorPath(target.value().fd->get());
    if (::removexattr(path.c_str(), target.value().name.c_str()) != 0) return errorReply(xattrError());
    return okReply();
}

}  // namespace brindle::server
