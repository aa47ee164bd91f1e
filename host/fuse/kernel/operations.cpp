#include "host/fuse/kernel/operations.h"

#include "host/fuse/ops/attribute_operations.h"
#include "host/fuse/kernel/connection_settings.h"
#include "host/fuse/ops/content_operations.h"
#include "host/fuse/ops/listing_operations.h"
#include "host/fuse/ops/namespace_operations.h"
#include "host/fuse/ops/open_operations.h"
#include "host/fuse/ops/statistics.h"
#include "host/fuse/ops/xattr_operations.h"
#include "platform/log/log.h"

namespace brindle::host {

namespace {

void onInit(void* userdata, fuse_conn_info* connection) {
    const auto& context = *static_cast<std::shared_ptr<OperationContext>*>(userdata);
    // Above 128 KiB libfuse also asks the kernel for max_pages to match.
    connection->max_write = maximumTransfer;
    connection->max_readahead = maximumTransfer;
    connection->max_background = 64;
    connection->congestion_threshold = 48;
    if (context->options.writebackCache && (connection->capable & FUSE_CAP_WRITEBACK_CACHE))
        connection->want |= FUSE_CAP_WRITEBACK_CACHE;
    else
        connection->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    applyMountOptions(context->options, *connection);
    logging::info("orvel: fuse init max_write={} max_readahead={} writeback_cache={}", connection->max_write,
                  connection->max_readahead, (connection->want & FUSE_CAP_WRITEBACK_CACHE) != 0);
}

fuse_lowlevel_ops makeOperations() {
    fuse_lowlevel_ops operations{};
    operations.init = onInit;
    operations.lookup = onLookup;
    operations.forget = onForget;
    operations.forget_multi = onForgetMulti;
    operations.getattr = onGetattr;
    operations.setattr = onSetattr;
    operations.readlink = onReadlink;
    operations.mknod = onMknod;
    operations.mkdir = onMkdir;
    operations.unlink = onUnlink;
    operations.rmdir = onRmdir;
    operations.symlink = onSymlink;
    operations.rename = onRename;
    operations.link = onLink;
    operations.open = onOpen;
    operations.read = onRead;
    operations.write = onWrite;
    // No flush: every write is answered only once the server has taken it, so a close has nothing
    // to report, and without a handler the kernel stops sending one per close.
    operations.release = onRelease;
    operations.fsync = onFsync;
    operations.opendir = onOpendir;
    operations.readdir = onReaddir;
    operations.readdirplus = onReaddirplus;
    operations.releasedir = onRelease;
    operations.fsyncdir = onFsync;
    operations.statfs = onStatfs;
    operations.setxattr = onSetxattr;
    operations.getxattr = onGetxattr;
    operations.listxattr = onListxattr;
    operations.removexattr = onRemovexattr;
    operations.create = onCreate;
    return operations;
}

}  // namespace

const fuse_lowlevel_ops& lowLevelOperations() {
    static const fuse_lowlevel_ops operations = makeOperations();
    return operations;
}

}  // namespace brindle::host
