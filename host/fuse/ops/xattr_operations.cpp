#include "host/fuse/ops/xattr_operations.h"

#include "host/fuse/requests/kernel_request.h"
#include "host/fuse/translation/request_flags.h"

#include <cerrno>
#include <cstring>

namespace brindle::host {

namespace {

using foundation::Error;
using fskit::FSFileName;

// Size queries (size 0) get the length; a buffer too small for the value gets ERANGE.
void replyWithBytes(const KernelRequest& request, const std::string& bytes, size_t size) {
    if (size == 0) return (void)request.deliver([&](KernelReply& reply) { reply.xattrSize(bytes.size()); });
    if (bytes.size() > size) return request.fail(ERANGE);
    request.deliver([&](KernelReply& reply) { reply.buffer(bytes.data(), bytes.size()); });
}

// POSIX ACLs are refused as a local file system without ACL support refuses them. Stored as plain
// attributes they would change neither the mode nor who may read, while cp -a and sed -i, told
// the ACL was set, would skip the chmod that keeps a copy's mode.
bool namesAnAccessControlList(const char* name) {
    return std::strcmp(name, "system.posix_acl_access") == 0 || std::strcmp(name, "system.posix_acl_default") == 0;
}

// Only the user namespace is served. A name in another is refused as a local file system refuses
// a process without the privilege: trusted. and security. read as absent and cannot be changed
// (EPERM), any other namespace is unsupported. Kept on the export as user attributes, they would
// be forged by anyone who may write the export's files.
enum class XattrAccess { read, change };

int namespaceRefusal(const char* name, XattrAccess access) {
    if (std::strncmp(name, "user.", 5) == 0) return 0;
    if (std::strncmp(name, "trusted.", 8) == 0 || std::strncmp(name, "security.", 9) == 0)
        return access == XattrAccess::read ? ENODATA : EPERM;
    return EOPNOTSUPP;
}

bool inUserNamespace(const std::string& name) { return name.starts_with("user.") && name.size() > 5; }

// The item an extended-attribute request names; null once the request is answered. A session
// without extended attributes answers ENOSYS: the kernel then answers every later call of that kind
// with EOPNOTSUPP itself, for the life of the mount, where it would otherwise ask before each write
// whether the file carries capabilities. A reconnect to a session that has them does not bring them
// back; that takes a new mount.
std::shared_ptr<BrindleItem> itemUnlessRefused(const KernelRequest& request, fuse_ino_t inode,
                                               const char* name = nullptr, XattrAccess access = XattrAccess::read) {
    if (!request.generationOrFail()) return nullptr;
    if (name != nullptr && namesAnAccessControlList(name)) {
        request.fail(EOPNOTSUPP);
        return nullptr;
    }
    if (request.volume().xattrOperationsInhibited()) {
        request.fail(ENOSYS);
        return nullptr;
    }
    if (const int refusal = name != nullptr ? namespaceRefusal(name, access) : 0; refusal != 0) {
        request.fail(refusal);
        return nullptr;
    }
    return request.itemOrFail(inode);
}

}  // namespace

void onSetxattr(const KernelRequest& request, fuse_ino_t inode, const char* name, const char* value, size_t size, int flags) {
    auto item = itemUnlessRefused(request, inode, name, XattrAccess::change);
    if (!item) return;
    const auto policy = xattrPolicyForFlags(flags);
    if (!policy) return request.fail(EINVAL);
    const auto attributeName = request.nameOrFail(name);
    if (!attributeName) return;
    request.volume().setXattrNamed(*attributeName, std::string(value, size), item, *policy,
                                   [request](std::optional<Error> error) { request.finish(error); });
}

void onGetxattr(const KernelRequest& request, fuse_ino_t inode, const char* name, size_t size) {
    auto item = itemUnlessRefused(request, inode, name);
    if (!item) return;
    const auto attributeName = request.nameOrFail(name);
    if (!attributeName) return;
    request.volume().getXattrNamed(*attributeName, item,
                                   [request, size](std::optional<std::string> value, std::optional<Error> error) {
                                       if (!value) return request.fail(error);
                                       replyWithBytes(request, *value, size);
                                   });
}

void onListxattr(const KernelRequest& request, fuse_ino_t inode, size_t size) {
    auto item = itemUnlessRefused(request, inode);
    if (!item) return;
    request.volume().listXattrsOfItem(
        item, [request, size](std::optional<std::vector<FSFileName>> names, std::optional<Error> error) {
            if (!names) return request.fail(error);
            std::string list;
            for (const auto& name : *names) {
                // A name the kernel cannot carry would split the list.
                if (name.data().empty() || name.data().find('\0') != std::string::npos) continue;
                // What a local file system shows a process without the privilege to read the rest.
                if (!inUserNamespace(name.data())) continue;
                list += name.data();
                list += '\0';
            }
            replyWithBytes(request, list, size);
        });
}

void onRemovexattr(const KernelRequest& request, fuse_ino_t inode, const char* name) {
    auto item = itemUnlessRefused(request, inode, name, XattrAccess::change);
    if (!item) return;
    const auto attributeName = request.nameOrFail(name);
    if (!attributeName) return;
    request.volume().setXattrNamed(*attributeName, std::nullopt, item,
                                   BrindleVolume::xattrPolicyDelete,
                                   [request](std::optional<Error> error) { request.finish(error); });
}

}  // namespace brindle::host
