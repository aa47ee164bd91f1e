#include "server/passthrough/file_system.h"

#include "platform/log/log.h"
#include "server/passthrough/item_record.h"

#include <fcntl.h>

namespace brindle::passthrough {

using sdk::Errno;

Result<std::unique_ptr<FileSystem>> FileSystem::open(const std::string& directory, FileSystemOptions options) {
    auto root = ExportRoot::open(directory);
    if (!root) return root.error();
    if (!S_ISDIR(root.value().rootStat().st_mode)) return Error(Errno::enotdir, directory + " is not a directory");
    std::unique_ptr<FileSystem> fileSystem(new FileSystem(std::move(root.value()), options));
    if (!options.noWatch) {
        // Opened before a daemon detaches, so that the handshake knows whether it is watched;
        // its thread starts once the server serves.
        fileSystem->watch_ = ExportWatch::open(fileSystem->root_.fd(), [raw = fileSystem.get()](NodeId directory, const std::string& name) {
            return raw->watchedChild(directory, name);
        });
    }
    return fileSystem;
}

FileSystem::FileSystem(ExportRoot root, FileSystemOptions options)
    : root_(std::move(root)), options_(options), nodes_(root_.rootStat().st_dev, root_.rootStat().st_ino) {}

sdk::Capabilities FileSystem::capabilities() const {
    sdk::Capabilities capabilities{
        options_.readonly,
        options_.namedattr,
        {std::string(sdk::extension::createOpens), std::string(sdk::extension::openDirectoryRecord),
         std::string(sdk::extension::changeNotices), std::string(sdk::extension::append),
         std::string(sdk::extension::locks), std::string(sdk::extension::postOpRecords),
         std::string(sdk::extension::listingInOpen), std::string(sdk::extension::forget)}};
    if (watch_) capabilities.extensions.emplace_back(sdk::extension::exportWatched);
    return capabilities;
}

void FileSystem::serving(sdk::OutsideChanges& changes) {
    if (watch_) watch_->start(changes);
}

void FileSystem::stopping() {
    if (watch_) watch_->stop();
}

ExportWatch::OwnChange FileSystem::ownEntryChange(const Call& call, NodeId directory, const std::string& name,
                                                  ExportWatch::OwnChange (ExportWatch::*kind)(uint64_t, NodeId,
                                                                                                const std::string&)) const {
    if (!watch_) return {};
    return (watch_.get()->*kind)(call.connection(), directory, name);
}

ExportWatch::OwnChanges FileSystem::ownObjectChange(const Call& call, NodeId node, bool contents, bool attributes) const {
    ExportWatch::OwnChanges changes;
    if (!watch_) return changes;
    const auto found = nodes_.find(node);
    if (!found) return changes;
    const auto note = [&](NodeId directory, const std::string& name) {
        if (contents) changes.notes.push_back(watch_->writes(call.connection(), directory, name));
        if (attributes) changes.notes.push_back(watch_->changesAttributes(call.connection(), directory, name));
    };
    if (node != kRootNode) note(found->parentID, found->name);
    // A directory's own watch hears of its attributes too; a file's is never asked for.
    if (attributes) note(node, "");
    return changes;
}

std::optional<ExportWatch::Child> FileSystem::watchedChild(NodeId directory, const std::string& name) const {
    auto located = locateDirectory(directory);
    if (!located) return std::nullopt;
    auto st = statObject(located.value().get(), name);
    if (!st) return std::nullopt;
    if (name.empty()) return ExportWatch::Child{directory, st.value().stx_ctime};
    return ExportWatch::Child{nodes_.idOf(deviceOf(st.value()), st.value().stx_ino), st.value().stx_ctime};
}

bool FileSystem::issued(NodeId node) const { return nodes_.issued(node); }

void FileSystem::forget(const Call&, NodeId node, uint64_t count) {
    // Unwatched under the table's lock: a lookup that gives the directory its id back watches it
    // again only after that. The watch never calls into the table while it holds its own lock.
    const auto dropped = nodes_.forget(node, count, [this](NodeId gone) {
        if (watch_) watch_->unwatchDirectory(gone);
    });
    if (dropped.empty()) return;
    logging::debug("orvel: server let go of {} node{}, {} kept", dropped.size(), dropped.size() == 1 ? "" : "s",
                   nodes_.size());
}

Result<FileSystem::Located> FileSystem::locate(NodeId node, int flags) const {
    const auto found = nodes_.find(node);
    if (!found) return Error(Errno::enoent, "unknown node " + std::to_string(node));
    const auto names = nodes_.path(node);
    if (!names) return Error(Errno::enoent, "node " + std::to_string(node) + " has been removed");
    auto fd = root_.openBeneath(*names, flags);
    if (!fd) return fd.error();
    auto st = statObject(fd.value().get(), "");
    if (!st) return st.error();
    if (deviceOf(st.value()) != found->device || st.value().stx_ino != found->inode ||
        (node != kRootNode && stampOf(st.value()) != found->stamp)) {
        return Error(Errno::enoent, "node " + std::to_string(node) + " was moved or replaced");
    }
    return Located{std::move(fd.value()), *found, st.value()};
}

Result<FileSystem::DirectoryFd> FileSystem::locateDirectory(NodeId node) const {
    if (node == kRootNode) return DirectoryFd(root_.fd());
    auto located = locate(node, O_PATH);
    if (!located) return located.error();
    if (!S_ISDIR(located.value().st.stx_mode)) return Error(Errno::enotdir, "not a directory");
    return DirectoryFd(std::move(located.value().fd));
}

Result<struct statx> FileSystem::statNode(const Call& call, NodeId node) const {
    if (const auto open = call.openFileAs<OpenedFile>(node)) return statObject(open->fd.get(), "");
    if (node == kRootNode) return statObject(root_.fd(), "");
    auto located = locate(node, O_PATH);
    if (located) return located.value().st;
    // A directory removed or moved away while open is still reached through its handle.
    if (const auto directory = call.openDirectoryAs<OpenedDirectory>(node)) return statObject(directory->fd.get(), "");
    return located.error();
}

Result<Item> FileSystem::recordChild(int parentFD, NodeId parent, const std::string& name) {
    auto st = statObject(parentFD, name);
    if (!st) return st.error();
    return recordObject(parentFD, parent, name, st.value());
}

Item FileSystem::recordObject(int parentFD, NodeId parent, const std::string& name, const struct statx& st) {
    const NodeId id = nodes_.record(deviceOf(st), st.stx_ino, parent, name, stampOf(st));
    if (watch_ && S_ISDIR(st.stx_mode)) watch_->watchDirectory(id, parentFD, name);
    return itemOf(id, parent, name, st);
}

std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace brindle::passthrough
