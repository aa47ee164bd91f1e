#include "server/passthrough/file_system.h"
#include "server/passthrough/item_record.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace brindle::passthrough {

Result<void> FileSystem::synchronize(const Call&, uint32_t) {
    auto root = root_.openBeneath({}, O_RDONLY | O_DIRECTORY);
    if (!root) return root.error();
    if (::syncfs(root.value().get()) != 0) return Error::lastSystemError();
    return {};
}

Result<Item> FileSystem::getRootAttributes(const Call&) {
    auto st = statObject(root_.fd(), "");
    if (!st) return st.error();
    return itemOf(kRootNode, kRootNode, "/", st.value());
}

Result<sdk::StatFS> FileSystem::statfs(const Call&) {
    struct statvfs stats {};
    if (::fstatvfs(root_.fd(), &stats) != 0) return Error::lastSystemError();
    return sdk::StatFS{stats.f_frsize, stats.f_bsize, stats.f_blocks, stats.f_bfree,
                       stats.f_bavail, stats.f_files, stats.f_ffree};
}

}  // namespace brindle::passthrough
