#pragma once

#include "host/fuse/requests/kernel_request.h"
#include "tests/module/volume/volume_harness.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace hosttest {

// One answer a handler gave, as the kernel would have seen it.
struct Answer {
    enum class Kind { Entry, Create, Attributes, Open, Buffer, Written, Statistics, XattrSize, LinkTarget, Lock, Error, None };
    Kind kind = Kind::None;
    int error = 0;
    fuse_entry_param entry{};
    fuse_file_info info{};
    std::string data;
    size_t count = 0;
    struct flock lock {};
};

// Records what a handler answers. `result` is what every answer returns: 0, or a negative errno
// for an answer that does not reach the kernel (a request interrupted meanwhile).
class RecordingReply final : public brindle::host::KernelReply {
public:
    explicit RecordingReply(int result = 0) : result_(result) {}

    int entry(const fuse_entry_param& entry) override;
    int create(const fuse_entry_param& entry, const fuse_file_info& info) override;
    int attributes(const struct stat& status, double timeout) override;
    int open(const fuse_file_info& info) override;
    int buffer(const char* data, size_t size) override;
    int written(size_t count) override;
    int statistics(const struct statvfs& status) override;
    int xattrSize(size_t size) override;
    int linkTarget(const char* target) override;
    int lock(const struct flock& lock) override;
    int error(int linuxErrno) override;
    void none() override;
    bool interrupted() const override { return interrupted_; }
    // As the kernel does when the caller is interrupted.
    void interrupt() { interrupted_ = true; }

    // The first answer, once it came; none when nothing came within the wait.
    std::optional<Answer> wait(std::chrono::milliseconds wait = std::chrono::seconds(5));
    size_t count() const;

private:
    int record(Answer answer);

    const int result_;
    std::atomic<bool> interrupted_{false};
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Answer> answers_;
};

// Polls until `done` holds or two seconds pass: a handler lets items go after it answered.
bool eventually(const std::function<bool()>& done);

// Mount options as a test wants them: a request waits at most five seconds.
brindle::host::MountOptions testOptions();

// A mount's operation context over a volume whose server the test scripts frame by frame.
class HandlerHarness {
public:
    explicit HandlerHarness(brindle::host::MountOptions options = testOptions(),
                            const volumetest::VolumeOptions& volumeOptions = {});
    ~HandlerHarness();

    struct Sent {
        brindle::host::KernelRequest request;
        std::shared_ptr<RecordingReply> reply;
    };
    // A new kernel request whose answers return `replyResult`.
    Sent request(int replyResult = 0);

    // Looks `name` up in `parent` through the lookup handler, served as `record`; the inode the
    // kernel was given.
    uint64_t lookUp(uint64_t parent, const std::string& name, boost::json::object record);

    // Marks the first connection lost, as a failed client reports it.
    void loseConnection();
    // Makes `next` the volume of the next generation, as a reconnect does.
    void reconnectTo(volumetest::ScriptedVolume& next);

    volumetest::ScriptedVolume scripted;
    std::shared_ptr<brindle::host::OperationContext> context;
};

}  // namespace hosttest
