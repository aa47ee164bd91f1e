#pragma once

namespace brindle::host {

// What becomes of a file's cached pages when it is opened again.
enum class PageCachePolicy {
    DropOnOpen,          // default: every open reads what the server has now
    KeepWhileUnchanged,  // auto_cache: kept until the attributes show a new size or time
    KeepAlways,          // kernel_cache: kept; only for exports nobody else changes
};

inline bool keepsPageCacheOnOpen(PageCachePolicy policy) { return policy != PageCachePolicy::DropOnOpen; }

}  // namespace brindle::host
