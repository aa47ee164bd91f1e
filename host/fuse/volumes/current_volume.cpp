#include "host/fuse/volumes/current_volume.h"

namespace brindle::host {

namespace {

// How often a waiting call looks whether the mount is ending: the session loop says so only
// through a flag.
constexpr std::chrono::milliseconds endingPoll{100};

}  // namespace

CurrentVolume::CurrentVolume(std::shared_ptr<BrindleVolume> volume)
    : latest_(std::make_shared<const VolumeGeneration>(VolumeGeneration{std::move(volume)})) {}

CurrentVolume::Generation CurrentVolume::latest() const {
    std::lock_guard lock(mutex_);
    return latest_;
}

bool CurrentVolume::isConnected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

bool CurrentVolume::endingLocked() const { return ended_ || (ending_ && ending_()); }

CurrentVolume::Generation CurrentVolume::connected(std::optional<Clock::time_point> until) const {
    std::unique_lock lock(mutex_);
    while (!connected_) {
        if (endingLocked()) return nullptr;
        auto wakeUp = Clock::now() + endingPoll;
        if (until) {
            if (Clock::now() >= *until) return nullptr;
            wakeUp = std::min(wakeUp, *until);
        }
        changed_.wait_until(lock, wakeUp);
    }
    return latest_;
}

bool CurrentVolume::lose(uint64_t number) {
    std::lock_guard lock(mutex_);
    if (!connected_ || latest_->number != number) return false;
    connected_ = false;
    return true;
}

CurrentVolume::Generation CurrentVolume::replace(std::shared_ptr<BrindleVolume> volume) {
    Generation next;
    {
        std::lock_guard lock(mutex_);
        next = std::make_shared<const VolumeGeneration>(VolumeGeneration{std::move(volume), latest_->number + 1});
        latest_ = next;
        connected_ = true;
    }
    changed_.notify_all();
    return next;
}

void CurrentVolume::watchEnding(std::function<bool()> ending) {
    std::lock_guard lock(mutex_);
    ending_ = std::move(ending);
}

void CurrentVolume::end() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
        ending_ = nullptr;
    }
    changed_.notify_all();
}

}  // namespace brindle::host
