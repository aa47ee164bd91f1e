#include "host/fuse/kernel/fuse_notices.h"

namespace brindle::host {

namespace {

// A notice under way when the session ends is already in the kernel; it returns with the unmount.
constexpr std::chrono::seconds stopWait{1};

}  // namespace

FuseNotices::FuseNotices(fuse_session* session) : session_(session), thread_([this] { run(); }) {}

FuseNotices::~FuseNotices() {
    stop();
    thread_.join();
}

void FuseNotices::forgetEntry(uint64_t parentInode, const std::string& name, std::chrono::milliseconds bound) {
    auto sent = std::make_shared<std::promise<void>>();
    auto done = sent->get_future();
    queue({parentInode, name, std::move(sent)});
    done.wait_for(bound);
}

void FuseNotices::forgetEntryLater(uint64_t parentInode, const std::string& name) { queue({parentInode, name, nullptr}); }

void FuseNotices::forgetInodeLater(uint64_t inode) { queue({inode, std::nullopt, nullptr}); }

void FuseNotices::forgetInodeThen(uint64_t inode, std::function<void()> then) {
    queue({inode, std::nullopt, nullptr, std::move(then)});
}

void FuseNotices::queue(Notice notice) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        queued_.push_back(std::move(notice));
    }
    changed_.notify_all();
}

void FuseNotices::forgetAttributes(uint64_t inode) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
    }
    // A negative offset drops the attributes only; the pages are the open's keep_cache to judge.
    fuse_lowlevel_notify_inval_inode(session_, inode, -1, 0);
}

void FuseNotices::stop() {
    // Dropped after the lock: a notice's `then` may hold the last reference to a request's context.
    std::deque<Notice> dropped;
    std::unique_lock lock(mutex_);
    stopped_ = true;
    dropped.swap(queued_);
    changed_.notify_all();
    changed_.wait_for(lock, stopWait, [this] { return !sending_; });
}

void FuseNotices::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopped_ || !queued_.empty(); });
        if (stopped_) return;
        Notice notice = std::move(queued_.front());
        queued_.pop_front();
        sending_ = true;
        lock.unlock();
        // ENOENT (the kernel no longer has the entry or inode) is as good as done.
        if (notice.name) {
            fuse_lowlevel_notify_inval_entry(session_, notice.inode, notice.name->data(), notice.name->size());
        } else {
            fuse_lowlevel_notify_inval_inode(session_, notice.inode, 0, 0);
        }
        if (notice.sent) notice.sent->set_value();
        if (notice.then) notice.then();
        notice = {};
        lock.lock();
        sending_ = false;
        changed_.notify_all();
    }
}

}  // namespace brindle::host
