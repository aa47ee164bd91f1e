#pragma once

namespace brindle::host {

// What becomes of a file's cached pages when it is opened again.
enum class PageCachePolicy {
    CloseToOpen,         // default: kept while the server shows the size and time of the last open
    DropOnOpen,          // reread_on_open: every open reads what the server has now
    KeepWhileUnchanged,  // auto_cache: kept until the attributes show a new size or time
    KeepAlways,          // kernel_cache: kept; only for exports nobody else changes
};

}  // namespace brindle::host
