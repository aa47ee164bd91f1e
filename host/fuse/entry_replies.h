#pragma once

#include "host/fuse/kernel_request.h"

#include <fuse_lowlevel.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace brindle::host {

// Gives the kernel the entry and returns the fuse_reply_* result: fuse_reply_entry by default,
// fuse_reply_create for a create.
using EntrySend = std::function<int(const fuse_entry_param& entry)>;

fuse_entry_param entryFor(const MountOptions& options, uint64_t inode, const fskit::FSItemAttributes& attributes);

// Answers with the item's entry as `name` in `parentInode`, with its attributes fetched from the
// volume; the kernel's new reference is counted by the lookup-count rule. `undoWhenNotAnswered`
// runs when no entry reached the kernel through `send`'s caller: the attributes failed or the
// request had already run out of time.
void replyWithEntry(const KernelRequest& request, const std::shared_ptr<BrindleItem>& item, uint64_t parentInode,
                    std::string name, EntrySend send = nullptr, std::function<void()> undoWhenNotAnswered = nullptr);

}  // namespace brindle::host
