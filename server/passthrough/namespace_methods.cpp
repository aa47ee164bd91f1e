#include "platform/foundation/errno_table.h"
#include "platform/foundation/utf8.h"
#include "platform/log/log.h"
#include "protocol/wire.h"
#include "server/passthrough/file_system.h"
#include "server/passthrough/item_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

namespace brindle::server {

using foundation::Error;
namespace darwin = foundation::darwin;
namespace key = wire::key;

namespace {

Error lastError() { return Error::fromLinuxErrno(errno); }

}  // namespace

Reply FileSystem::lookup(const Request& request) {
    auto parentID = request.u64(key::parentID);
    if (!parentID) return errorReply(parentID.error());
    auto name = request.entryName(key::name);
    if (!name) return errorReply(name.error());
    auto parent = locateDirectory(parentID.value());
    if (!parent) return errorReply(parent.error());
    auto record = recordChild(parent.value().get(), parentID.value(), name.value());
    if (!record) return errorReply(record.error());
    return recordReply(key::lookupItem, record.value());
}

foundation::Result<FileSystem::CreationTarget> FileSystem::creationTarget(const Request& request) const {
    auto parentID = request.u64(key::parentID);
    if (!parentID) return parentID.error();
    auto name = request.entryName(key::name);
    if (!name) return name.error();
    auto mode = request.i64(key::mode);
    if (!mode) return mode.error();
    if (auto refused = refuseChange()) return *refused;
    auto parent = locateDirectory(parentID.value());
    if (!parent) return parent.error();
    return CreationTarget{std::move(parent.value()), parentID.value(), std::move(name.value()),
                          static_cast<mode_t>(mode.value() & 07777)};
}

Reply FileSystem::createFile(const Request& request) {
    auto target = creationTarget(request);
    if (!target) return errorReply(target.error());
    const CreationTarget& place = target.value();

    // O_EXCL never follows a link in the last place, so nothing is created through one.
    const int fd = ::openat(place.parent.get(), place.name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC,
                            place.permissions);
    if (fd < 0) return errorReply(lastError());
    UniqueFd created(fd);
    // The process's umask must not narrow the mode the client asked for.
    std::optional<Error> failure;
    if (::fchmod(created.get(), place.permissions) != 0) failure = lastError();
    return createdReply(place.parent.get(), place.parentID, place.name, created.get(), std::move(failure));
}

Reply FileSystem::createDirectory(const Request& request) {
    auto target = creationTarget(request);
    if (!target) return errorReply(target.error());
    const CreationTarget& place = target.value();

    if (::mkdirat(place.parent.get(), place.name.c_str(), place.permissions) != 0) return errorReply(lastError());
    auto made = ExportRoot::openChild(place.parent.get(), place.name, O_PATH | O_DIRECTORY);
    if (!made) return errorReply(made.error());
    std::optional<Error> failure;
    if (::chmod(descriptorPath(made.value().get()).c_str(), place.permissions) != 0) failure = lastError();
    return createdReply(place.parent.get(), place.parentID, place.name, made.value().get(), std::move(failure));
}

Reply FileSystem::createSymlink(const Request& request) {
    auto parentID = request.u64(key::parentID);
    if (!parentID) return errorReply(parentID.error());
    auto name = request.entryName(key::name);
    if (!name) return errorReply(name.error());
    auto target = request.string(key::linkTarget);
    if (!target) return errorReply(target.error());
    if (target.value().empty() || target.value().find('\0') != std::string::npos) {
        return errorReply(Error::posix(darwin::einval, "invalid link target"));
    }
    if (auto refused = refuseChange()) return errorReply(*refused);
    auto parent = locateDirectory(parentID.value());
    if (!parent) return errorReply(parent.error());
    // The target is stored as data; the server never resolves it.
    if (::symlinkat(target.value().c_str(), parent.value().get(), name.value().c_str()) != 0) {
        return errorReply(lastError());
    }
    auto made = ExportRoot::openChild(parent.value().get(), name.value(), O_PATH);
    if (!made) return errorReply(made.error());
    return createdReply(parent.value().get(), parentID.value(), name.value(), made.value().get(), std::nullopt);
}

Reply FileSystem::createdReply(int parentFD, uint64_t parentID, const std::string& name, int createdFD,
                               std::optional<Error> failure) {
    auto st = statObject(createdFD, "");
    if (!failure && st) return recordReply(key::itemAttrs, recordObject(parentID, name, st.value()));
    if (!failure) failure = st.error();
    // Only the object this call made goes, never one put in its place meanwhile.
    auto named = statObject(parentFD, name);
    if (st && named && deviceOf(named.value()) == deviceOf(st.value()) && named.value().stx_ino == st.value().stx_ino) {
        ::unlinkat(parentFD, name.c_str(), S_ISDIR(st.value().stx_mode) ? AT_REMOVEDIR : 0);
    }
    return errorReply(*failure);
}

Reply FileSystem::removeFile(const Request& request) { return removeEntry(request, false); }
Reply FileSystem::removeDirectory(const Request& request) { return removeEntry(request, true); }

Reply FileSystem::removeEntry(const Request& request, bool directory) {
    auto parentID = request.u64(key::parentID);
    if (!parentID) return errorReply(parentID.error());
    auto name = request.entryName(key::name);
    if (!name) return errorReply(name.error());
    if (auto refused = refuseChange()) return errorReply(*refused);
    auto parent = locateDirectory(parentID.value());
    if (!parent) return errorReply(parent.error());

    // The object is held from before the unlink until its node is retired: while it is held, its inode
    // number cannot pass to a new file, so the node retired is the one removed.
    auto removed = ExportRoot::openChild(parent.value().get(), name.value(), O_PATH);
    if (!removed) return errorReply(removed.error());
    auto st = statObject(removed.value().get(), "");
    if (!st) return errorReply(st.error());
    const bool isDirectory = S_ISDIR(st.value().stx_mode);
    if (directory && !isDirectory) return errorReply(Error::posix(darwin::enotdir, "not a directory"));
    if (!directory && isDirectory) return errorReply(Error::posix(darwin::eisdir, "is a directory"));
    if (::unlinkat(parent.value().get(), name.value().c_str(), directory ? AT_REMOVEDIR : 0) != 0) {
        return errorReply(lastError());
    }
    retireIfGone(removed.value().get());
    return okReply();
}

void FileSystem::retireIfGone(int heldFD) {
    // A name swapped in between the open and the unlink leaves the held object linked: it is kept.
    auto st = statObject(heldFD, "");
    if (!st || st.value().stx_nlink > 0) return;
    nodes_.retire(deviceOf(st.value()), st.value().stx_ino, stampOf(st.value()));
}

Reply FileSystem::rename(const Request& request) {
    auto parentID = request.u64(key::parentID);
    if (!parentID) return errorReply(parentID.error());
    auto name = request.entryName(key::name);
    if (!name) return errorReply(name.error());
    auto newParentID = request.u64(key::newParentID);
    if (!newParentID) return errorReply(newParentID.error());
    auto newName = request.entryName(key::newName);
    if (!newName) return errorReply(newName.error());
    if (auto refused = refuseChange()) return errorReply(*refused);
    auto parent = locateDirectory(parentID.value());
    if (!parent) return errorReply(parent.error());
    auto newParent = locateDirectory(newParentID.value());
    if (!newParent) return errorReply(newParent.error());

    auto source = statObject(parent.value().get(), name.value());
    if (!source) return errorReply(source.error());
    // Held across the rename for the same reason as a removed object.
    auto replaced = ExportRoot::openChild(newParent.value().get(), newName.value(), O_PATH);
    if (::renameat(parent.value().get(), name.value().c_str(), newParent.value().get(), newName.value().c_str()) != 0) {
        return errorReply(lastError());
    }
    if (replaced) retireIfGone(replaced.value().get());
    auto moved = statObject(newParent.value().get(), newName.value());
    if (moved && deviceOf(moved.value()) == deviceOf(source.value()) && moved.value().stx_ino == source.value().stx_ino) {
        nodes_.record(deviceOf(moved.value()), moved.value().stx_ino, newParentID.value(), newName.value(),
                      stampOf(moved.value()));
    }
    return okReply();
}

Reply FileSystem::readlink(const Request& request) {
    auto nodeID = request.u64(key::nodeID);
    if (!nodeID) return errorReply(nodeID.error());
    auto located = locate(nodeID.value(), O_PATH);
    if (!located) return errorReply(located.error());
    if (!S_ISLNK(located.value().st.stx_mode)) return errorReply(Error::posix(darwin::einval, "not a symbolic link"));
    std::string target(std::max<size_t>(located.value().st.stx_size, 4096) + 1, '\0');
    const ssize_t n = ::readlinkat(located.value().fd.get(), "", target.data(), target.size());
    if (n < 0) return errorReply(lastError());
    target.resize(static_cast<size_t>(std::min<ssize_t>(n, static_cast<ssize_t>(target.size()))));
    if (!foundation::isValidUTF8(target)) {
        logging::info("orvel: server refused readlink of node {}: its target is not UTF-8", nodeID.value());
        return errorReply(Error::posix(darwin::eilseq, "the link's target is not UTF-8"));
    }
    Reply reply = okReply();
    reply.object[key::linkTarget] = target;
    return reply;
}

}  // namespace brindle::server
