#include "server/passthrough/file_system.h"
#include "server/passthrough/item_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace brindle::passthrough {

using sdk::Errno;

Result<std::shared_ptr<sdk::OpenDirectory>> FileSystem::openDirectory(const Call&, NodeId node) {
    // The handle keeps a descriptor of its own, also for the root.
    auto directory = locate(node, O_PATH);
    if (!directory) return directory.error();
    if (!S_ISDIR(directory.value().st.stx_mode)) return Error(Errno::enotdir, "not a directory");
    // Pinned so that the node outlives a removal of its directory while the handle is open.
    auto pin = nodes_.pin(node);
    if (!pin) return Error(Errno::enoent, "node has been removed");
    return std::shared_ptr<sdk::OpenDirectory>(
        std::make_shared<OpenedDirectory>(std::move(directory.value().fd), std::move(*pin)));
}

// Every name in the directory, in the order the file system lists them.
Result<void> FileSystem::listDirectory(const Call&, NodeId node, sdk::Listing& names) {
    auto located = locate(node, O_RDONLY | O_DIRECTORY);
    if (!located) return located.error();
    const int fd = located.value().fd.get();
    alignas(8) std::array<char, 32768> buffer;
    for (;;) {
        const long n = ::syscall(SYS_getdents64, fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return Error::lastSystemError();
        }
        if (n == 0) return {};
        for (long offset = 0; offset < n;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer.data() + offset);
            offset += entry->d_reclen;
            names.add(entry->d_name);
        }
    }
}

// A page finds its entries in the directory it opened once, not along the path for each name.
Result<sdk::EntryLookup> FileSystem::listingLookup(const Call&, NodeId directory) {
    auto located = locate(directory, O_RDONLY | O_DIRECTORY);
    if (!located) return located.error();
    auto fd = std::make_shared<UniqueFd>(std::move(located.value().fd));
    return sdk::EntryLookup(
        [this, fd, directory](const std::string& name) { return recordChild(fd->get(), directory, name); });
}

}  // namespace brindle::passthrough
