#include "host/fuse/kernel/operations.h"

#include "host/fuse/kernel/connection_settings.h"
#include "host/fuse/kernel/fuse_reply.h"
#include "host/fuse/ops/attribute_operations.h"
#include "host/fuse/ops/content_operations.h"
#include "host/fuse/ops/listing_operations.h"
#include "host/fuse/ops/lock_operations.h"
#include "host/fuse/ops/namespace_operations.h"
#include "host/fuse/ops/open_operations.h"
#include "host/fuse/ops/statistics.h"
#include "host/fuse/ops/xattr_operations.h"
#include "platform/log/log.h"

namespace brindle::host {

namespace {

const std::shared_ptr<OperationContext>& contextOf(void* userdata) {
    return *static_cast<std::shared_ptr<OperationContext>*>(userdata);
}

KernelRequest requestFor(fuse_req_t req) {
    const fuse_ctx* caller = fuse_req_ctx(req);
    return KernelRequest(contextOf(fuse_req_userdata(req)), std::make_shared<FuseReply>(req),
                         Caller{caller->uid, caller->gid});
}

// The libfuse callback of a handler: same arguments, the request in place of fuse_req_t.
template <auto handler>
constexpr auto fromKernel = [](fuse_req_t req, auto... arguments) { handler(requestFor(req), arguments...); };

void onInit(void* userdata, fuse_conn_info* connection) {
    const auto& context = contextOf(userdata);
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
    // Without a server that keeps locks for every client the kernel keeps them, for this mount.
    if (!context->volume->locksAcrossClients()) connection->want &= ~(FUSE_CAP_POSIX_LOCKS | FUSE_CAP_FLOCK_LOCKS);
    context->kernelSendsLocks = (connection->want & FUSE_CAP_POSIX_LOCKS) != 0;
    logging::info("orvel: fuse init max_write={} max_readahead={} writeback_cache={} locks_across_clients={}",
                  connection->max_write, connection->max_readahead, (connection->want & FUSE_CAP_WRITEBACK_CACHE) != 0,
                  (connection->want & FUSE_CAP_POSIX_LOCKS) != 0);
}

void onFlushReleasingLocks(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info) {
    releaseLocksAtFlush(request, inode, *info);
    onFlush(request, inode, info);
}

void onReleaseReleasingLocks(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info) {
    releaseLocksAtRelease(request, inode, *info);
    onRelease(request, inode, info);
}

fuse_lowlevel_ops makeOperations() {
    fuse_lowlevel_ops operations{};
    operations.init = onInit;
    operations.lookup = fromKernel<onLookup>;
    operations.forget = fromKernel<onForget>;
    operations.forget_multi = fromKernel<onForgetMulti>;
    operations.getattr = fromKernel<onGetattr>;
    operations.setattr = fromKernel<onSetattr>;
    operations.readlink = fromKernel<onReadlink>;
    operations.mknod = fromKernel<onMknod>;
    operations.mkdir = fromKernel<onMkdir>;
    operations.unlink = fromKernel<onUnlink>;
    operations.rmdir = fromKernel<onRmdir>;
    operations.symlink = fromKernel<onSymlink>;
    operations.rename = fromKernel<onRename>;
    operations.link = fromKernel<onLink>;
    operations.open = fromKernel<onOpen>;
    operations.read = fromKernel<onRead>;
    operations.write = fromKernel<onWrite>;
    // Every write is answered once the server has taken it: only a final mode is left to report.
    operations.flush = fromKernel<onFlushReleasingLocks>;
    operations.release = fromKernel<onReleaseReleasingLocks>;
    operations.fsync = fromKernel<onFsync>;
    operations.opendir = fromKernel<onOpendir>;
    operations.readdir = fromKernel<onReaddir>;
    operations.readdirplus = fromKernel<onReaddirplus>;
    operations.releasedir = fromKernel<onRelease>;
    operations.fsyncdir = fromKernel<onFsync>;
    operations.statfs = fromKernel<onStatfs>;
    operations.setxattr = fromKernel<onSetxattr>;
    operations.getxattr = fromKernel<onGetxattr>;
    operations.listxattr = fromKernel<onListxattr>;
    operations.removexattr = fromKernel<onRemovexattr>;
    operations.create = fromKernel<onCreate>;
    operations.getlk = fromKernel<onGetlk>;
    operations.setlk = fromKernel<onSetlk>;
    operations.flock = fromKernel<onFlock>;
    return operations;
}

}  // namespace

const fuse_lowlevel_ops& lowLevelOperations() {
    static const fuse_lowlevel_ops operations = makeOperations();
    return operations;
}

}  // namespace brindle::host
