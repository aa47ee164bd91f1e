#include "server/passthrough/file_system.h"
#include "server/passthrough/item_record.h"

#include <fcntl.h>
#include <sys/xattr.h>

#include <cerrno>

namespace brindle::passthrough {

namespace {

void madeXattrChange(ExportWatch::OwnChanges& own, int fd) {
    if (own.notes.empty()) return;
    if (auto st = statObject(fd, ""); st) own.made(st.value().stx_ctime);
}

}  // namespace

using sdk::Errno;

namespace {

// Client names live in Linux's "user." namespace, the only one an ordinary user may write.
constexpr std::string_view kNamespace = "user.";

Error xattrError() {
    // A missing attribute is ENODATA on Linux and ENOATTR to the client.
    if (errno == ENODATA) return Error(Errno::enoattr, "no such extended attribute");
    return Error::lastSystemError();
}

}  // namespace

Result<FileSystem::XattrTarget> FileSystem::xattrTarget(const Call& call, NodeId node, const std::string& name) const {
    if (name.size() + kNamespace.size() > XATTR_NAME_MAX) return Error(Errno::einval, "invalid extended attribute name");
    if (const auto open = call.openFileAs<OpenedFile>(node)) {
        return XattrTarget{std::shared_ptr<UniqueFd>(open, &open->fd), false, std::string(kNamespace) + name};
    }
    auto located = locate(node, O_PATH);
    if (!located) return located.error();
    const bool isLink = S_ISLNK(located.value().st.stx_mode);
    return XattrTarget{std::make_shared<UniqueFd>(std::move(located.value().fd)), isLink, std::string(kNamespace) + name};
}

Result<std::vector<std::string>> FileSystem::listXattrs(const Call& call, NodeId node) {
    auto target = xattrTarget(call, node, "");
    if (!target) return target.error();
    std::vector<std::string> names;
    // Linux keeps no user attributes on symbolic links.
    if (target.value().isLink) return names;
    const std::string path = descriptorPath(target.value().fd->get());
    std::string buffer;
    for (;;) {
        const ssize_t size = ::listxattr(path.c_str(), nullptr, 0);
        if (size < 0) return xattrError();
        buffer.resize(static_cast<size_t>(size));
        const ssize_t n = size == 0 ? 0 : ::listxattr(path.c_str(), buffer.data(), buffer.size());
        if (n < 0 && errno == ERANGE) continue;  // grew meanwhile
        if (n < 0) return xattrError();
        buffer.resize(static_cast<size_t>(n));
        break;
    }
    for (size_t start = 0; start < buffer.size();) {
        const size_t end = buffer.find('\0', start);
        const std::string_view name(buffer.data() + start, (end == std::string::npos ? buffer.size() : end) - start);
        start = end == std::string::npos ? buffer.size() : end + 1;
        if (name.starts_with(kNamespace) && name.size() > kNamespace.size()) names.emplace_back(name.substr(kNamespace.size()));
    }
    return names;
}

Result<std::string> FileSystem::getXattr(const Call& call, NodeId node, const std::string& name) {
    auto target = xattrTarget(call, node, name);
    if (!target) return target.error();
    if (target.value().isLink) return Error(Errno::enoattr, "no such extended attribute");
    const std::string path = descriptorPath(target.value().fd->get());
    const char* linuxName = target.value().name.c_str();
    std::string value;
    for (;;) {
        const ssize_t size = ::getxattr(path.c_str(), linuxName, nullptr, 0);
        if (size < 0) return xattrError();
        value.resize(static_cast<size_t>(size));
        const ssize_t n = size == 0 ? 0 : ::getxattr(path.c_str(), linuxName, value.data(), value.size());
        if (n < 0 && errno == ERANGE) continue;
        if (n < 0) return xattrError();
        value.resize(static_cast<size_t>(n));
        return value;
    }
}

Result<void> FileSystem::setXattr(const Call& call, NodeId node, const std::string& name, std::string_view value,
                                  int32_t flags) {
    auto target = xattrTarget(call, node, name);
    if (!target) return target.error();
    if (target.value().isLink) return Error(Errno::enotsup, "symbolic links carry no extended attributes");
    int linuxFlags = 0;
    if (flags & sdk::kXattrCreate) linuxFlags |= XATTR_CREATE;
    if (flags & sdk::kXattrReplace) linuxFlags |= XATTR_REPLACE;
    const std::string path = descriptorPath(target.value().fd->get());
    auto own = ownObjectChange(call, node, false, true);
    if (::setxattr(path.c_str(), target.value().name.c_str(), value.data(), value.size(), linuxFlags) != 0) {
        return xattrError();
    }
    madeXattrChange(own, target.value().fd->get());
    return {};
}

Result<void> FileSystem::removeXattr(const Call& call, NodeId node, const std::string& name) {
    auto target = xattrTarget(call, node, name);
    if (!target) return target.error();
    if (target.value().isLink) return Error(Errno::enoattr, "no such extended attribute");
    const std::string path = descriptorPath(target.value().fd->get());
    auto own = ownObjectChange(call, node, false, true);
    if (::removexattr(path.c_str(), target.value().name.c_str()) != 0) return xattrError();
    madeXattrChange(own, target.value().fd->get());
    return {};
}

}  // namespace brindle::passthrough
