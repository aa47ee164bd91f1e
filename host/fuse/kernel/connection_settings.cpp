#include "host/fuse/kernel/connection_settings.h"

namespace brindle::host {

void applyMountOptions(const MountOptions& options, fuse_conn_info& connection) {
    if (options.maxRead) connection.max_read = *options.maxRead;
    // readdirplus hands each name over with its attributes, so `ls -l` of 1,000 files costs a few
    // listing calls and no lookup; the adaptive mode goes on with plain listings for readers that
    // look at no entry (find), which spares the server the attributes.
    if (connection.capable & FUSE_CAP_READDIRPLUS) connection.want |= FUSE_CAP_READDIRPLUS;
    if (connection.capable & FUSE_CAP_READDIRPLUS_AUTO) connection.want |= FUSE_CAP_READDIRPLUS_AUTO;
    // The kernel drops a file's pages when fresh attributes show a changed size or modification
    // time; kernel_cache promises that nothing changes behind the mount, so it keeps them.
    if (options.pageCache == PageCachePolicy::KeepAlways) {
        connection.want &= ~FUSE_CAP_AUTO_INVAL_DATA;
    } else if (connection.capable & FUSE_CAP_AUTO_INVAL_DATA) {
        connection.want |= FUSE_CAP_AUTO_INVAL_DATA;
    }
}

}  // namespace brindle::host
