#pragma once

#include "platform/foundation/error.h"
#include "platform/foundation/uuid.h"

#include <optional>

namespace fskit {

class FSContainerIdentifier {
public:
    explicit FSContainerIdentifier(foundation::UUID uuid) : uuid_(uuid) {}
    const foundation::UUID& uuid() const { return uuid_; }
    friend bool operator==(const FSContainerIdentifier&, const FSContainerIdentifier&) = default;

private:
    foundation::UUID uuid_;
};

// Whether a container is ready; a not-ready status carries the error that says why.
class FSContainerStatus {
public:
    static FSContainerStatus ready() { return FSContainerStatus(std::nullopt); }
    static FSContainerStatus notReadyWithStatus(foundation::Error status) { return FSContainerStatus(std::move(status)); }

    bool isReady() const { return !status_.has_value(); }
    const std::optional<foundation::Error>& status() const { return status_; }

private:
    explicit FSContainerStatus(std::optional<foundation::Error> status) : status_(std::move(status)) {}
    std::optional<foundation::Error> status_;
};

}  // namespace fskit
