#pragma once

#include "host/fuse/requests/kernel_request.h"

#include <functional>
#include <memory>

namespace brindle::host {

// On a mount other users reach (allow_other), an object created through it belongs to the user and
// group that created it, as on a local file system; the server creates everything as itself.
// Calls `then` once the new item has the caller's owner and group, at once when it already has
// them or the mount is the mounting user's alone. When the change fails, the new entry is removed
// again and the request fails with the change's error: a create either gives the caller an object
// of its own or leaves nothing behind. A file the create opened (`heldOpen`) is closed first.
void giveToCaller(const KernelRequest& request, const std::shared_ptr<BrindleItem>& item,
                  const std::shared_ptr<BrindleItem>& directory, const fskit::FSFileName& name,
                  std::function<void()> then, bool heldOpen = false);

}  // namespace brindle::host
