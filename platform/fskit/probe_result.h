#pragma once

#include "platform/fskit/container.h"

#include <optional>
#include <string>

namespace fskit {

// The answer to a probe: the module can use the resource (with a name and container), or not.
class FSProbeResult {
public:
    enum class Kind { NotRecognized, Usable };

    static FSProbeResult usableProbeResultWithName(std::string name, FSContainerIdentifier containerID) {
        return FSProbeResult(Kind::Usable, std::move(name), containerID);
    }
    static FSProbeResult notRecognizedProbeResult() { return FSProbeResult(Kind::NotRecognized, "", std::nullopt); }

    Kind result() const { return kind_; }
    const std::string& name() const { return name_; }
    const std::optional<FSContainerIdentifier>& containerID() const { return containerID_; }

private:
    FSProbeResult(Kind kind, std::string name, std::optional<FSContainerIdentifier> containerID)
        : kind_(kind), name_(std::move(name)), containerID_(containerID) {}
    Kind kind_;
    std::string name_;
    std::optional<FSContainerIdentifier> containerID_;
};

}  // namespace fskit
