#include "tests/host/ops/handler_harness.h"

#include "host/fuse/ops/namespace_operations.h"

#include <stdexcept>
#include <thread>

namespace hosttest {

using namespace brindle::host;

int RecordingReply::record(Answer answer) {
    {
        std::lock_guard lock(mutex_);
        answers_.push_back(std::move(answer));
    }
    arrived_.notify_all();
    return result_;
}

int RecordingReply::entry(const fuse_entry_param& entry) { return record({.kind = Answer::Kind::Entry, .entry = entry}); }

int RecordingReply::create(const fuse_entry_param& entry, const fuse_file_info& info) {
    return record({.kind = Answer::Kind::Create, .entry = entry, .info = info});
}

int RecordingReply::attributes(const struct stat& status, double) {
    Answer answer{.kind = Answer::Kind::Attributes};
    answer.entry.attr = status;
    return record(answer);
}

int RecordingReply::open(const fuse_file_info& info) { return record({.kind = Answer::Kind::Open, .info = info}); }

int RecordingReply::buffer(const char* data, size_t size) {
    return record({.kind = Answer::Kind::Buffer, .data = std::string(data, size), .count = size});
}

int RecordingReply::written(size_t count) { return record({.kind = Answer::Kind::Written, .count = count}); }

int RecordingReply::statistics(const struct statvfs&) { return record({.kind = Answer::Kind::Statistics}); }

int RecordingReply::xattrSize(size_t size) { return record({.kind = Answer::Kind::XattrSize, .count = size}); }

int RecordingReply::linkTarget(const char* target) { return record({.kind = Answer::Kind::LinkTarget, .data = target}); }

int RecordingReply::error(int linuxErrno) { return record({.kind = Answer::Kind::Error, .error = linuxErrno}); }

int RecordingReply::lock(const struct flock& lock) { return record({.kind = Answer::Kind::Lock, .lock = lock}); }

void RecordingReply::none() { record({.kind = Answer::Kind::None}); }

std::optional<Answer> RecordingReply::wait(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, wait, [this] { return !answers_.empty(); })) return std::nullopt;
    return answers_.front();
}

size_t RecordingReply::count() const {
    std::lock_guard lock(mutex_);
    return answers_.size();
}

bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 200 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

MountOptions testOptions() {
    MountOptions options;
    options.requestTimeout = std::chrono::seconds(5);
    return options;
}

HandlerHarness::HandlerHarness(MountOptions options, const volumetest::VolumeOptions& volumeOptions)
    : scripted(volumeOptions) {
    context = std::make_shared<OperationContext>(scripted.volume, 1, options, options.requestTimeout);
}

HandlerHarness::~HandlerHarness() {
    context->volume.end();
    context->deadline->close();
}

HandlerHarness::Sent HandlerHarness::request(int replyResult) {
    auto reply = std::make_shared<RecordingReply>(replyResult);
    return {KernelRequest(context, reply, Caller{}), reply};
}

uint64_t HandlerHarness::lookUp(uint64_t parent, const std::string& name, boost::json::object record) {
    auto [request, reply] = this->request();
    onLookup(request, parent, name.c_str());
    scripted.serve("lookup", {{"ok", true}, {"lookup_item", std::move(record)}});
    const auto answer = reply->wait();
    if (!answer || answer->kind != Answer::Kind::Entry) throw std::runtime_error("the lookup of " + name + " failed");
    return answer->entry.ino;
}

void HandlerHarness::loseConnection() {
    auto lost = std::make_shared<rpctest::Await<bool>>();
    scripted.volume->setConnectionLostHandler([lost](foundation::Error) { lost->set(true); });
    scripted.peer->close();
    if (!lost->get()) throw std::runtime_error("the client did not report its connection lost");
    context->volume.lose(context->volume.latest()->number);
}

void HandlerHarness::reconnectTo(volumetest::ScriptedVolume& next) {
    const auto volume = next.volume;
    context->inodes.startGeneration(context->volume.latest()->number + 1, volume->rootItem(), 1,
                                    [volume](uint64_t nodeID) { return volume->trackedItemForNodeID(nodeID); });
    context->volume.replace(volume);
}

}  // namespace hosttest
