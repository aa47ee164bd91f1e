#include "host/fuse/ops/content_operations.h"

#include "host/fuse/ops/open_recovery.h"
#include "host/fuse/requests/operation_context.h"
#include "host/fuse/requests/kernel_request.h"
#include "platform/log/log.h"

#include <fcntl.h>

#include <algorithm>

namespace brindle::host {

namespace {

// FSKit's "wait for the data to reach storage" synchronisation flag.
constexpr int64_t synchronizeWait = 1;

void onAppend(const KernelRequest& request, const KernelRequest::ItemPtr& item, fuse_ino_t inode, const char* data, size_t size,
              off_t offset) {
    request.volume().appendContents(
        std::string(data, size), item,
        [request, inode, size, offset](std::optional<AppendedBytes> appended, std::optional<foundation::Error> error) {
            if (error) return request.fail(error);
            logging::debug("orvel: fuse append ino={} landed at {} of {}", inode, appended->offset, appended->size);
            // The kernel sets the size from the offset it chose; another client's appends moved the end.
            const bool sizeMoved = appended->offset != static_cast<uint64_t>(offset) ||
                                   appended->size != appended->offset + appended->written;
            if (sizeMoved && request.context()->notices) request.context()->notices->forgetAttributes(inode);
            request.deliver([&](KernelReply& reply) { reply.written(std::min<uint64_t>(appended->written, size)); });
        });
}

}  // namespace

void onRead(const KernelRequest& request, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info* info) {
    auto item = request.itemOrFail(inode);
    if (!item || !openGoesOn(request, info, item)) return;
    auto buffer = std::make_shared<fskit::FSMutableFileDataBuffer>(size);
    request.volume().readFromFile(item, offset, size, buffer,
                                  [request, buffer](uint64_t count, std::optional<foundation::Error> error) {
                                      if (error) return request.fail(error);
                                      request.deliver([&](KernelReply& reply) {
                                          reply.buffer(static_cast<const char*>(buffer->bytes()),
                                                       std::min<uint64_t>(count, buffer->length()));
                                      });
                                  });
}

void onWrite(const KernelRequest& request, fuse_ino_t inode, const char* data, size_t size, off_t offset, fuse_file_info* info) {
    auto item = request.itemOrFail(inode);
    if (!item || !openGoesOn(request, info, item)) return;
    if (info->flags & O_APPEND) {
        const auto handle = request.context()->handles.find(info->fh);
        if (handle && handle->appendsAtServer && request.volume().appendsAtServer()) {
            return onAppend(request, item, inode, data, size, offset);
        }
    }
    logging::debug("orvel: fuse write ino={} offset={} size={}", inode, offset, size);
    request.volume().writeContents(std::string(data, size), item, offset,
                                   [request, size](uint64_t count, std::optional<foundation::Error> error) {
                                       if (error) return request.fail(error);
                                       request.deliver([&](KernelReply& reply) {
                                           reply.written(std::min<uint64_t>(count, size));
                                       });
                                   });
}

void onFsync(const KernelRequest& request, fuse_ino_t inode, int, fuse_file_info* info) {
    auto item = request.itemOrFail(inode);
    if (!item || !openGoesOn(request, info, item)) return;
    request.volume().synchronizeWithFlags(synchronizeWait,
                                          [request](std::optional<foundation::Error> error) { request.finish(error); });
}

}  // namespace brindle::host
