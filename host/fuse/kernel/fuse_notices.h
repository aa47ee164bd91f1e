#pragma once

#include "host/fuse/requests/kernel_notices.h"

#include <fuse_lowlevel.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace brindle::host {

// Notices to the kernel of a mounted session. libfuse may not send one from a request's own path
// (the kernel would wait for the request to end first), so a thread of its own sends them.
class FuseNotices final : public KernelNotices {
public:
    explicit FuseNotices(fuse_session* session);
    ~FuseNotices() override;
    FuseNotices(const FuseNotices&) = delete;
    FuseNotices& operator=(const FuseNotices&) = delete;

    void forgetEntry(uint64_t parentInode, const std::string& name, std::chrono::milliseconds bound) override;
    void forgetAttributes(uint64_t inode) override;
    void forgetEntryLater(uint64_t parentInode, const std::string& name) override;
    void forgetInodeLater(uint64_t inode) override;
    void forgetInodeThen(uint64_t inode, std::function<void()> then) override;
    // Sends nothing more; call before the session is unmounted, which ends a notice the kernel
    // still holds up.
    void stop();

private:
    // An entry's when `name` is set, else the whole inode's.
    struct Notice {
        uint64_t inode;
        std::optional<std::string> name;
        std::shared_ptr<std::promise<void>> sent;
        std::function<void()> then;
    };
    void queue(Notice notice);
    void run();

    fuse_session* const session_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Notice> queued_;
    bool sending_ = false;
    bool stopped_ = false;
    std::thread thread_;
};

}  // namespace brindle::host
