#include "host/fuse/inodes/inode_recovery.h"

#include "host/fuse/translation/error_mapping.h"
#include "platform/foundation/errno_table.h"

#include <cerrno>
#include <future>

namespace brindle::host {

namespace {

using ItemPtr = std::shared_ptr<BrindleItem>;
using foundation::Error;

// Deeper than any path the kernel can hold; only a loop in the recorded names gets here.
constexpr int deepestPath = 4096;

struct Looked {
    ItemPtr item;
    std::optional<Error> error;
};

RecoveredItem recover(InodeTable& inodes, LookupCounts& lookups, const VolumeGeneration& generation, uint64_t inode,
                      std::optional<std::chrono::steady_clock::time_point> until, int depth) {
    if (auto item = inodes.item(inode); item && inodes.generation() == generation.number) return {item};
    const auto held = inodes.held(inode);
    if (!held || held->stale) return {nullptr, ESTALE};
    // The call began on a connection that has since been replaced.
    if (held->generation > generation.number) return {nullptr, EIO};
    if (!held->lastName || depth >= deepestPath) {
        inodes.markStale(inode);
        return {nullptr, ESTALE};
    }
    const auto parent = recover(inodes, lookups, generation, held->lastName->first, until, depth + 1);
    if (!parent.item) return parent;

    // Shared, so that a reply arriving after the wait gave up still has somewhere to go.
    auto promise = std::make_shared<std::promise<Looked>>();
    auto looked = promise->get_future();
    generation.volume->lookupItemNamed(fskit::FSFileName::nameWithBytes(held->lastName->second), parent.item,
                                       [promise](ItemPtr item, std::optional<fskit::FSFileName>,
                                                 std::optional<Error> error) {
                                           promise->set_value({std::move(item), std::move(error)});
                                       });
    const bool answered = until ? looked.wait_until(*until) == std::future_status::ready
                                : (looked.wait(), true);
    if (!answered) return {nullptr, EIO};
    const Looked outcome = looked.get();
    if (!outcome.item) {
        if (outcome.error && (outcome.error->isPosix(foundation::darwin::enoent) ||
                              outcome.error->isPosix(foundation::darwin::enotdir))) {
            inodes.markStale(inode);
            return {nullptr, ESTALE};
        }
        return {nullptr, linuxErrnoForError(outcome.error)};
    }
    if (auto item = inodes.rebind(inode, outcome.item, generation.number)) return {item};
    lookups.releaseUnreferenced(outcome.item);
    return {nullptr, inodes.generation() == generation.number ? ESTALE : EIO};
}

}  // namespace

RecoveredItem recoverItem(InodeTable& inodes, LookupCounts& lookups, const VolumeGeneration& generation, uint64_t inode,
                          std::optional<std::chrono::steady_clock::time_point> until) {
    return recover(inodes, lookups, generation, inode, until, 0);
}

}  // namespace brindle::host
