#include "host/fuse/reconnect/reconnection.h"

#include "platform/log/log.h"

namespace brindle::host {

namespace {

double secondsOf(Reconnection::Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

}  // namespace

std::shared_ptr<Reconnection> Reconnection::create(std::shared_ptr<OperationContext> context, Reload reload,
                                                   std::string session) {
    return std::make_shared<Reconnection>(Made{}, std::move(context), std::move(reload), std::move(session));
}

Reconnection::Reconnection(Made, std::shared_ptr<OperationContext> context, Reload reload, std::string session)
    : context_(std::move(context)), reload_(std::move(reload)), session_(std::move(session)) {}

Reconnection::~Reconnection() { stop(); }

void Reconnection::start() {
    thread_ = std::thread([this] { run(); });
    watch(context_->volume.latest());
}

void Reconnection::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Reconnection::watch(const CurrentVolume::Generation& generation) {
    std::weak_ptr<Reconnection> weak = weak_from_this();
    generation->volume->setConnectionLostHandler(
        [weak, number = generation->number](foundation::Error error) {
            if (const auto self = weak.lock()) self->lost(number, error);
        });
}

void Reconnection::lost(uint64_t generation, const foundation::Error& error) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_ || !context_->volume.lose(generation)) return;
        lost_ = true;
    }
    logging::info("orvel: connection to the server lost ({}); reconnecting to the session {}", error, session_);
    changed_.notify_all();
}

void Reconnection::run() {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return lost_ || stopped_; });
            if (stopped_) return;
            lost_ = false;
        }
        reconnect();
    }
}

void Reconnection::reconnect() {
    const auto started = Clock::now();
    const auto previous = context_->volume.latest();
    // The failed client is never used again: the old volume lets its items go and disconnects.
    previous->volume->unmountWithReplyHandler([] {});
    previous->volume->deactivateWithOptions(0, [](std::optional<foundation::Error>) {});
    const std::function<bool()> ending = [this] { return stopped_.load(); };
    auto pauseLength = firstPause;
    std::string lastReason;
    for (int attempt = 1; !stopped_; ++attempt) {
        auto outcome = [&] {
            const logging::DetailsAtDebug details;
            return reload_(ending);
        }();
        if (auto* reloaded = std::get_if<ReloadedVolume>(&outcome)) {
            const auto volume = reloaded->volume;
            context_->inodes.startGeneration(previous->number + 1, volume->rootItem(), reloaded->rootNodeID,
                                             [volume](uint64_t nodeID) { return volume->trackedItemForNodeID(nodeID); });
            watch(context_->volume.replace(volume));
            context_->updateCacheTimeouts(*volume->rpcClient());
            checkHeldNodes(context_, *volume->rpcClient());
            logging::info("orvel: reconnected to the session {} after {:.1f} s ({} attempt{})", session_,
                          secondsOf(Clock::now() - started), attempt, attempt == 1 ? "" : "s");
            return;
        }
        if (stopped_) return;
        // Each new reason is told once; repeats of it only in the debug log.
        const std::string& reason = std::get<std::string>(outcome);
        if (reason != lastReason) {
            logging::info("orvel: reconnect to the session {} waits: {}", session_, reason);
            lastReason = reason;
        }
        logging::debug("orvel: reconnect attempt {} failed: {}; next in {:.1f} s", attempt, reason,
                       secondsOf(pauseLength));
        if (!pause(pauseLength)) return;
        pauseLength = std::min(pauseLength * 2, longestPause);
    }
}

bool Reconnection::pause(Clock::duration length) {
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, length, [this] { return stopped_.load(); });
}

}  // namespace brindle::host
