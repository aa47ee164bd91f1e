#pragma once

#include "host/fuse/requests/kernel_request.h"

#include <fuse_lowlevel.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace brindle::host {

// Gives the kernel the entry and returns the reply's result: an entry reply by default, a create
// reply for a create.
using EntrySend = std::function<int(KernelReply& reply, const fuse_entry_param& entry)>;

fuse_entry_param entryFor(const MountOptions& options, uint64_t inode, const fskit::FSItemAttributes& attributes);

// Runs `then` once the item carries the server's attributes: at once, or after asking for those a
// record left out (an entry's attributes are what stat shows until they time out). Answers the
// request with the error when asking fails.
void whenAttributesLoaded(const KernelRequest& request, const std::shared_ptr<BrindleItem>& item,
                          std::function<void()> then);

// Answers with the entry of an item the volume has just handed back (looked up or created), as
// `name` in `parentInode`, with the attributes that reply brought; the kernel's new reference is
// counted by the lookup-count rule. True when the entry reached the kernel; when it did not, the
// volume may let the item go unless the kernel holds it otherwise.
bool replyWithEntry(const KernelRequest& request, const std::shared_ptr<BrindleItem>& item, uint64_t parentInode,
                    const std::string& name, const EntrySend& send = nullptr);

}  // namespace brindle::host
