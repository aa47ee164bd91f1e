#pragma once

#include "host/fuse/volumes/directory_opens.h"
#include "module/volume/BrindleVolume.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace brindle::host {

// One connection's volume. Items, volume-side directory opens and file handles belong to the
// generation that made them; a reconnect makes a new one and never revives an old one.
struct VolumeGeneration {
    std::shared_ptr<BrindleVolume> volume;
    uint64_t number = 1;
    std::shared_ptr<DirectoryOpens> directories = std::make_shared<DirectoryOpens>();
};

// The volume the mount's operations go to. Without reconnecting it is the first one for the life
// of the mount; with it, a lost connection marks it unusable until a reconnect replaces it, and
// operations wait for that up to their own bound.
class CurrentVolume {
public:
    using Generation = std::shared_ptr<const VolumeGeneration>;
    using Clock = std::chrono::steady_clock;

    explicit CurrentVolume(std::shared_ptr<BrindleVolume> volume);

    // The newest generation, connected or not.
    Generation latest() const;
    std::shared_ptr<BrindleVolume> operator->() const { return latest()->volume; }

    // The connected generation; while there is none, waits for one until `until` (none: without
    // a bound) or until the mount ends. Null when none came.
    Generation connected(std::optional<Clock::time_point> until) const;
    bool isConnected() const;

    // Marks generation `number` as disconnected; false when it is not the connected one.
    bool lose(uint64_t number);
    // Makes `volume` the next generation, connected, and wakes the waiting calls.
    Generation replace(std::shared_ptr<BrindleVolume> volume);
    // Asked while waiting: true once the mount is ending, so nobody waits for a reconnect then.
    void watchEnding(std::function<bool()> ending);
    // Ends every wait, now and later.
    void end();

private:
    bool endingLocked() const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Generation latest_;
    bool connected_ = true;
    bool ended_ = false;
    std::function<bool()> ending_;
};

}  // namespace brindle::host
