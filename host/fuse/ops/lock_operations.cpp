#include "host/fuse/ops/lock_operations.h"

#include "host/fuse/reconnect/awaited.h"
#include "platform/foundation/errno_table.h"
#include "protocol/wire.h"

#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>

namespace brindle::host {

namespace {

using namespace std::chrono_literals;
using foundation::Error;
using Clock = std::chrono::steady_clock;

// The first pause before a waiting lock asks again, and the longest: short enough that a lock let
// go is taken within a quarter of a second, long enough that a waiter costs the server little.
constexpr auto kFirstPause = 2ms;
constexpr auto kLongestPause = 250ms;
// A waiting lock gives up this long before the request's bound, so that it answers ENOLCK itself
// rather than the bound answering EIO.
constexpr auto kMargin = 100ms;

BrindleLock posixLock(const fuse_file_info& info, const struct flock& lock) {
    BrindleLock wanted;
    wanted.style = std::string(wire::lock::posix);
    wanted.type = std::string(lock.l_type == F_RDLCK   ? wire::lock::read
                              : lock.l_type == F_WRLCK ? wire::lock::write
                                                       : wire::lock::unlock);
    wanted.owner = info.lock_owner;
    wanted.start = lock.l_start < 0 ? 0 : static_cast<uint64_t>(lock.l_start);
    wanted.length = lock.l_len <= 0 ? 0 : static_cast<uint64_t>(lock.l_len);
    wanted.pid = lock.l_pid > 0 ? static_cast<uint64_t>(lock.l_pid) : 0;
    return wanted;
}

BrindleLock wholeFileUnlock(std::string_view style, uint64_t owner) {
    BrindleLock unlock;
    unlock.style = std::string(style);
    unlock.type = std::string(wire::lock::unlock);
    unlock.owner = owner;
    return unlock;
}

// Another client writes a file under its lock and lets the lock go only once the server has the
// writes, so the holder of a lock just granted must read the file as the server has it now: the
// pages and attributes this mount cached before are dropped before the holder hears of the lock.
void answerGranted(const KernelRequest& request, fuse_ino_t inode, const BrindleLock& lock) {
    const auto& context = request.context();
    if (lock.type == wire::lock::unlock) return request.finish(std::nullopt);
    if (lock.style == wire::lock::posix) context->lockOwners.granted(inode, lock.owner);
    // A record one of this mount's own changes brought back predates the other client's writes.
    request.volume().dropChangedAttributesOfNodeID(context->inodes.nodeIDForInode(inode));
    if (!context->notices) return request.finish(std::nullopt);
    context->notices->forgetInodeThen(inode, [request] { request.finish(std::nullopt); });
}

// One lock asked of the server until it is granted, refused other than by a conflict, given up by
// its caller (EINTR) or near the request's bound (ENOLCK). Between tries it waits on the context's
// lock waits, never in a thread; a try already sent when the caller gives up is let finish, so a
// lock the server grants is never left held behind an answer that says otherwise.
class LockAttempt : public std::enable_shared_from_this<LockAttempt> {
public:
    LockAttempt(KernelRequest request, fuse_ino_t inode, KernelRequest::ItemPtr item, BrindleLock lock, bool wait)
        : request_(std::move(request)), inode_(inode), item_(std::move(item)), lock_(std::move(lock)), wait_(wait) {}

    void ask() {
        request_.volume().setLock(item_, lock_, [self = shared_from_this()](std::optional<Error> error) {
            self->tried(error);
        });
    }

private:
    void tried(const std::optional<Error>& error) {
        if (!error) return answerGranted(request_, inode_, lock_);
        if (!wait_ || !error->isPosix(foundation::darwin::eagain)) return request_.fail(error);
        if (request_.givenUp()) return request_.fail(EINTR);
        const auto due = Clock::now() + pause_;
        if (const auto until = request_.until(); until && due + kMargin >= *until) return request_.fail(ENOLCK);
        pause_ = std::min<Clock::duration>(pause_ * 2, kLongestPause);
        request_.context()->lockWaits.add({.due = due,
                                           .givenUp = [request = request_] { return request.givenUp(); },
                                           .retry = [self = shared_from_this()] { self->ask(); },
                                           .abandon = [request = request_] { request.fail(EINTR); }});
    }

    const KernelRequest request_;
    const fuse_ino_t inode_;
    const KernelRequest::ItemPtr item_;
    const BrindleLock lock_;
    const bool wait_;
    Clock::duration pause_ = kFirstPause;
};

// Takes, changes or lets go of `lock`, waiting for it when `wait` holds; answers the request.
void settle(const KernelRequest& request, fuse_ino_t inode, const KernelRequest::ItemPtr& item,
            const BrindleLock& lock, bool wait) {
    auto attempt = std::make_shared<LockAttempt>(request, inode, item, lock, wait);
    const auto& context = request.context();
    // Another client taking the lock next must find what this one wrote on the server: writes the
    // kernel still caches (with the writeback cache, or through a shared mapping) go there before
    // the lock does.
    if (lock.type == wire::lock::unlock && context->notices) {
        return context->notices->forgetInodeThen(inode, [attempt] { attempt->ask(); });
    }
    attempt->ask();
}

// Sends a release and waits for it, whatever it answers: a close goes on either way, and the
// server lets every lock go when the connection ends.
void releaseOnServer(const KernelRequest& request, const std::shared_ptr<OpenHandle>& handle,
                     const BrindleLock& unlock) {
    const auto volume = request.context()->volume.operator->();
    if (!volume || !volume->locksAcrossClients()) return;
    KernelRequest::ItemPtr item;
    {
        std::lock_guard guard(handle->generationMutex);
        item = handle->item;
    }
    if (!item) return;
    Awaited<std::optional<Error>> released;
    volume->setLock(item, unlock, released.completion());
    released.wait(request.context()->options.requestTimeout, [] { return false; });
}

}  // namespace

void onGetlk(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info, struct flock* lock) {
    auto item = request.itemOrFail(inode);
    if (!item) return;
    const BrindleLock wanted = posixLock(*info, *lock);
    request.volume().testLock(item, wanted, [request, asked = *lock](std::optional<BrindleLock> conflicting,
                                                                    std::optional<Error> error) {
        if (error) return request.fail(error);
        struct flock answer = asked;
        answer.l_whence = SEEK_SET;
        if (!conflicting) {
            answer.l_type = F_UNLCK;
        } else {
            answer.l_type = conflicting->type == wire::lock::write ? F_WRLCK : F_RDLCK;
            answer.l_start = static_cast<off_t>(std::min<uint64_t>(conflicting->start, INT64_MAX));
            answer.l_len = static_cast<off_t>(std::min<uint64_t>(conflicting->length, INT64_MAX));
            answer.l_pid = static_cast<pid_t>(std::min<uint64_t>(conflicting->pid, INT32_MAX));
        }
        request.deliver([&](KernelReply& reply) { reply.lock(answer); });
    });
}

void onSetlk(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info, struct flock* lock, int sleep) {
    auto item = request.itemOrFail(inode);
    if (!item) return;
    settle(request, inode, item, posixLock(*info, *lock), sleep != 0);
}

void onFlock(const KernelRequest& request, fuse_ino_t inode, fuse_file_info* info, int operation) {
    auto item = request.itemOrFail(inode);
    if (!item) return;
    BrindleLock wanted = wholeFileUnlock(wire::lock::flock, info->lock_owner);
    switch (operation & ~LOCK_NB) {
    case LOCK_SH: wanted.type = std::string(wire::lock::read); break;
    case LOCK_EX: wanted.type = std::string(wire::lock::write); break;
    case LOCK_UN: break;
    default: return request.fail(EINVAL);
    }
    settle(request, inode, item, wanted, (operation & LOCK_NB) == 0);
}

void releaseLocksAtFlush(const KernelRequest& request, fuse_ino_t inode, const fuse_file_info& info) {
    if (!request.context()->lockOwners.take(inode, info.lock_owner)) return;
    const auto handle = request.context()->handles.find(info.fh);
    if (!handle || handle->directory) return;
    releaseOnServer(request, handle, wholeFileUnlock(wire::lock::posix, info.lock_owner));
}

void releaseLocksAtRelease(const KernelRequest& request, fuse_ino_t, const fuse_file_info& info) {
    if (!info.flock_release) return;
    const auto handle = request.context()->handles.find(info.fh);
    if (!handle || handle->directory) return;
    releaseOnServer(request, handle, wholeFileUnlock(wire::lock::flock, info.lock_owner));
}

}  // namespace brindle::host
