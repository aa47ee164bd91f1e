#pragma once

#include "host/fuse/handles/open_handles.h"
#include "host/fuse/options/page_cache_policy.h"
#include "host/fuse/requests/operation_context.h"
#include "platform/fskit/item_attributes.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace brindle::host {

// Close-to-open: the pages cached through earlier opens stay when the server shows the file with
// the size, modification time and change time of the previous open, as at this open. Pages read after that
// open may be newer than its stamp, never older, so a match means they hold what the server has.
bool pagesStillCurrent(OperationContext& context, uint64_t inode,
                       const std::optional<fskit::FSItemAttributes>& attributes);

// Close-to-open for directories: the listing the kernel cached through earlier opens stays when
// the server shows the directory with the time of the previous open and nothing changed it through
// this mount since (which moves its verifier), and only while the entries that listing handed out
// are still valid: past that, `ls -l` over a kept listing would look up every name on its own,
// where a fresh readdirplus brings them back by the hundred.
bool listingStillCurrent(OperationContext& context, const OpenHandle& handle,
                         const std::optional<fskit::FSItemAttributes>& attributes,
                         std::chrono::steady_clock::duration lifetime);

// How long a listing the kernel caches may serve: as long as both the names and the attributes it
// brought; none when either is not cached at all.
std::optional<std::chrono::steady_clock::duration> listingLifetime(const MountOptions& options);

// Whether an open keeps the file's cached pages without asking the server.
bool keepsPagesUnasked(PageCachePolicy policy);

}  // namespace brindle::host
