#include "platform/foundation/utf8.h"
#include "platform/log/log.h"
#include "server/passthrough/file_system.h"
#include "server/passthrough/item_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace brindle::passthrough {

using sdk::Errno;

Result<Item> FileSystem::lookup(const Call&, NodeId parent, const std::string& name) {
    auto directory = locateDirectory(parent);
    if (!directory) return directory.error();
    return recordChild(directory.value().get(), parent, name);
}

Result<Item> FileSystem::createFile(const Call& call, NodeId parent, const std::string& name, uint32_t mode) {
    auto made = createOpenFile(call, parent, name, mode, 0);
    if (!made) return made.error();
    return std::move(made.value().item);
}

Result<sdk::Backend::CreatedFile> FileSystem::createOpenFile(const Call& call, NodeId parent, const std::string& name,
                                                             uint32_t mode, uint32_t modes) {
    auto directory = locateDirectory(parent);
    if (!directory) return directory.error();
    auto appeared = ownEntryChange(call, parent, name, &ExportWatch::appears);
    // The descriptor the create gives is the open's, with the access open() would ask for: the
    // object is the one made, whatever happens to its name meanwhile, and no second open finds it.
    const bool writing = (modes & sdk::kOpenWrite) != 0;
    const int access = modes == 0 ? O_WRONLY : writing ? O_RDWR : O_RDONLY;
    // O_EXCL never follows a link in the last place, so nothing is created through one.
    const int fd = ::openat(directory.value().get(), name.c_str(), O_CREAT | O_EXCL | access | O_NOFOLLOW | O_CLOEXEC,
                            static_cast<mode_t>(mode));
    if (fd < 0) return Error::lastSystemError();
    UniqueFd made(fd);
    auto item = created(call, directory.value().get(), parent, name, made.get(), mode, std::move(appeared));
    if (!item) return item.error();
    auto pin = modes == 0 ? std::nullopt : nodes_.pin(item.value().node);
    if (!pin) return CreatedFile{std::move(item.value()), nullptr};
    return CreatedFile{std::move(item.value()), std::make_shared<OpenedFile>(std::move(made), writing, std::move(*pin))};
}

Result<Item> FileSystem::createDirectory(const Call& call, NodeId parent, const std::string& name, uint32_t mode) {
    auto directory = locateDirectory(parent);
    if (!directory) return directory.error();
    auto appeared = ownEntryChange(call, parent, name, &ExportWatch::appears);
    if (::mkdirat(directory.value().get(), name.c_str(), static_cast<mode_t>(mode)) != 0) {
        return Error::lastSystemError();
    }
    auto made = ExportRoot::openChild(directory.value().get(), name, O_PATH | O_DIRECTORY);
    if (!made) return made.error();
    return created(call, directory.value().get(), parent, name, made.value().get(), mode, std::move(appeared));
}

Result<Item> FileSystem::createSymlink(const Call& call, NodeId parent, const std::string& name,
                                       const std::string& target) {
    auto directory = locateDirectory(parent);
    if (!directory) return directory.error();
    auto appeared = ownEntryChange(call, parent, name, &ExportWatch::appears);
    // The target is stored as data; the server never resolves it.
    if (::symlinkat(target.c_str(), directory.value().get(), name.c_str()) != 0) return Error::lastSystemError();
    auto made = ExportRoot::openChild(directory.value().get(), name, O_PATH);
    if (!made) return made.error();
    return created(call, directory.value().get(), parent, name, made.value().get(), std::nullopt, std::move(appeared));
}

Result<Item> FileSystem::created(const Call& call, int parentFD, NodeId parent, const std::string& name, int createdFD,
                                 std::optional<uint32_t> mode, ExportWatch::OwnChange appeared) {
    auto st = statObject(createdFD, "");
    std::optional<Error> failure;
    if (st && mode && (st.value().stx_mode & 07777) != (*mode & 07777)) {
        // The process's umask or the directory's default ACL narrowed the mode the client asked for.
        auto attributesSet = ownEntryChange(call, parent, name, &ExportWatch::changesAttributes);
        if (::chmod(descriptorPath(createdFD).c_str(), static_cast<mode_t>(*mode)) != 0) {
            failure = Error::lastSystemError();
        } else {
            st = statObject(createdFD, "");
            if (st) attributesSet.made(st.value().stx_ctime);
        }
    }
    if (!failure && st) {
        Item item = recordObject(parentFD, parent, name, st.value());
        appeared.made();
        return item;
    }
    if (!failure) failure = st.error();
    // Only the object this call made goes, never one put in its place meanwhile.
    auto named = statObject(parentFD, name);
    if (st && named && deviceOf(named.value()) == deviceOf(st.value()) && named.value().stx_ino == st.value().stx_ino) {
        ::unlinkat(parentFD, name.c_str(), S_ISDIR(st.value().stx_mode) ? AT_REMOVEDIR : 0);
    }
    return *failure;
}

Result<void> FileSystem::removeFile(const Call& call, NodeId parent, const std::string& name) {
    return removeEntry(call, parent, name, false);
}

Result<void> FileSystem::removeDirectory(const Call& call, NodeId parent, const std::string& name) {
    return removeEntry(call, parent, name, true);
}

Result<void> FileSystem::removeEntry(const Call& call, NodeId parent, const std::string& name, bool directory) {
    auto parentFD = locateDirectory(parent);
    if (!parentFD) return parentFD.error();

    // The object is held from before the unlink until its node is retired: while it is held, its inode
    // number cannot pass to a new file, so the node retired is the one removed.
    auto removed = ExportRoot::openChild(parentFD.value().get(), name, O_PATH);
    if (!removed) return removed.error();
    auto st = statObject(removed.value().get(), "");
    if (!st) return st.error();
    const bool isDirectory = S_ISDIR(st.value().stx_mode);
    if (directory && !isDirectory) return Error(Errno::enotdir, "not a directory");
    if (!directory && isDirectory) return Error(Errno::eisdir, "is a directory");
    auto gone = ownEntryChange(call, parent, name, &ExportWatch::goes);
    if (::unlinkat(parentFD.value().get(), name.c_str(), directory ? AT_REMOVEDIR : 0) != 0) {
        return Error::lastSystemError();
    }
    gone.made();
    retireIfGone(removed.value().get());
    return {};
}

void FileSystem::retireIfGone(int heldFD) {
    // A name swapped in between the open and the unlink leaves the held object linked: it is kept.
    auto st = statObject(heldFD, "");
    if (!st || st.value().stx_nlink > 0) return;
    nodes_.retire(deviceOf(st.value()), st.value().stx_ino, stampOf(st.value()));
}

Result<void> FileSystem::rename(const Call& call, NodeId parent, const std::string& name, NodeId newParent,
                                const std::string& newName) {
    auto from = locateDirectory(parent);
    if (!from) return from.error();
    auto to = locateDirectory(newParent);
    if (!to) return to.error();

    auto source = statObject(from.value().get(), name);
    if (!source) return source.error();
    // Held across the rename for the same reason as a removed object.
    auto replaced = ExportRoot::openChild(to.value().get(), newName, O_PATH);
    // A rename onto itself raises no event, so a note of it would hide a later outside one.
    const bool ontoItself = parent == newParent && name == newName;
    auto movedFrom = ontoItself ? ExportWatch::OwnChange{} : ownEntryChange(call, parent, name, &ExportWatch::movesFrom);
    auto movedTo = ontoItself ? ExportWatch::OwnChange{} : ownEntryChange(call, newParent, newName, &ExportWatch::movesTo);
    if (::renameat(from.value().get(), name.c_str(), to.value().get(), newName.c_str()) != 0) {
        return Error::lastSystemError();
    }
    movedFrom.made();
    movedTo.made();
    if (replaced) retireIfGone(replaced.value().get());
    auto moved = statObject(to.value().get(), newName);
    if (moved && deviceOf(moved.value()) == deviceOf(source.value()) && moved.value().stx_ino == source.value().stx_ino) {
        nodes_.recordUnannounced(deviceOf(moved.value()), moved.value().stx_ino, newParent, newName,
                                 stampOf(moved.value()));
    }
    return {};
}

Result<std::string> FileSystem::readlink(const Call&, NodeId node) {
    auto located = locate(node, O_PATH);
    if (!located) return located.error();
    if (!S_ISLNK(located.value().st.stx_mode)) return Error(Errno::einval, "not a symbolic link");
    std::string target(std::max<size_t>(located.value().st.stx_size, 4096) + 1, '\0');
    const ssize_t n = ::readlinkat(located.value().fd.get(), "", target.data(), target.size());
    if (n < 0) return Error::lastSystemError();
    target.resize(static_cast<size_t>(std::min<ssize_t>(n, static_cast<ssize_t>(target.size()))));
    if (!foundation::isValidUTF8(target)) {
        logging::info("orvel: server refused readlink of node {}: its target is not UTF-8", node);
        return Error(Errno::eilseq, "the link's target is not UTF-8");
    }
    return target;
}

}  // namespace brindle::passthrough
