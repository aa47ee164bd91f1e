#include "platform/foundation/errno_table.h"
#include "protocol/wire.h"
#include "server/passthrough/file_system.h"
#include "server/passthrough/item_record.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

namespace brindle::server {

using foundation::Error;
namespace key = wire::key;

Reply FileSystem::ping(const Request&) { return okReply(); }

Reply FileSystem::synchronize(const Request&) {
    auto root = root_.openBeneath({}, O_RDONLY | O_DIRECTORY);
    if (!root) return errorReply(root.error());
    if (::syncfs(root.value().get()) != 0) return errorReply(Error::fromLinuxErrno(errno));
    return okReply();
}

Reply FileSystem::getRootAttributes(const Request&) {
    auto st = statObject(root_.fd(), "");
    if (!st) return errorReply(st.error());
    return recordReply(key::rootAttrs, itemRecord(kRootNodeID, kRootNodeID, "/", st.value()));
}

Reply FileSystem::statfs(const Request&) {
    struct statvfs stats {};
    if (::fstatvfs(root_.fd(), &stats) != 0) return errorReply(Error::fromLinuxErrno(errno));
    Reply reply = okReply();
    reply.object[key::blockSize] = stats.f_frsize;
    reply.object[key::ioSize] = stats.f_bsize;
    reply.object[key::blocks] = stats.f_blocks;
    reply.object[key::freeBlocks] = stats.f_bfree;
    reply.object[key::availableBlocks] = stats.f_bavail;
    reply.object[key::files] = stats.f_files;
    reply.object[key::freeFiles] = stats.f_ffree;
    return reply;
}

}  // namespace brindle::server
