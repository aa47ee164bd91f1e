#include "server/passthrough/file_system.h"

#include "platform/foundation/errno_table.h"
#include "protocol/wire.h"
#include "server/passthrough/item_record.h"

#include <fcntl.h>
#include <sys/sysmacros.h>

namespace brindle::server {

using foundation::Error;
namespace darwin = foundation::darwin;

FileSystem::FileSystem(ExportRoot root, FileSystemOptions options)
    : root_(std::move(root)),
      options_(options),
      nodes_(root_.rootStat().st_dev, root_.rootStat().st_ino),
      openFiles_(options.maxOpenFiles),
      directories_(options.maxDirectoryHandles, options.listingBudget) {}

void FileSystem::connectionEnded(uint64_t connectionID) {
    for (const uint64_t nodeID : openFiles_.removeConnection(connectionID)) nodes_.unpin(nodeID);
    for (const uint64_t nodeID : directories_.closeConnection(connectionID)) nodes_.unpin(nodeID);
}

foundation::Result<FileSystem::Located> FileSystem::locate(uint64_t nodeID, int flags) const {
    const auto node = nodes_.find(nodeID);
    if (!node) return Error::posix(darwin::enoent, "unknown node " + std::to_string(nodeID));
    const auto names = nodes_.path(nodeID);
    if (!names) return Error::posix(darwin::enoent, "node " + std::to_string(nodeID) + " has been removed");
    auto fd = root_.openBeneath(*names, flags);
    if (!fd) return fd.error();
    auto st = statObject(fd.value().get(), "");
    if (!st) return st.error();
    if (deviceOf(st.value()) != node->device || st.value().stx_ino != node->inode ||
        (nodeID != kRootNodeID && stampOf(st.value()) != node->stamp)) {
        return Error::posix(darwin::enoent, "node " + std::to_string(nodeID) + " was moved or replaced");
    }
    return Located{std::move(fd.value()), *node, st.value()};
}

foundation::Result<UniqueFd> FileSystem::locateDirectory(uint64_t nodeID) const {
    auto located = locate(nodeID, O_PATH);
    if (!located) return located.error();
    if (!S_ISDIR(located.value().st.stx_mode)) return Error::posix(darwin::enotdir, "not a directory");
    return std::move(located.value().fd);
}

foundation::Result<struct statx> FileSystem::statNode(uint64_t connectionID, uint64_t nodeID) const {
    if (const auto open = openFiles_.find(connectionID, nodeID)) return statObject(open->fd->get(), "");
    auto located = locate(nodeID, O_PATH);
    if (located) return located.value().st;
    // A directory removed or moved away while open is still reached through its handle.
    if (const auto directory = directories_.descriptor(connectionID, nodeID)) return statObject(directory->get(), "");
    return located.error();
}

foundation::Result<wire::ItemRecord> FileSystem::recordChild(int parentFD, uint64_t parentID,
                                                               const std::string& name) {
    auto st = statObject(parentFD, name);
    if (!st) return st.error();
    return recordObject(parentID, name, st.value());
}

wire::ItemRecord FileSystem::recordObject(uint64_t parentID, const std::string& name, const struct statx& st) {
    const uint64_t id = nodes_.record(deviceOf(st), st.stx_ino, parentID, name, stampOf(st));
    return itemRecord(id, parentID, name, st);
}

std::optional<Error> FileSystem::refuseChange() const {
    if (options_.readonly) return Error::posix(darwin::erofs, "the export is read-only");
    return std::nullopt;
}

Reply recordReply(std::string_view key, const wire::ItemRecord& record) {
    Reply reply = okReply();
    reply.object[key] = wire::encodeItemRecord(record);
    return reply;
}

std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace brindle::server
