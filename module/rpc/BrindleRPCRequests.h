#pragma once

#include "platform/foundation/error.h"
#include "protocol/framing.h"

#include <boost/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace brindle {

// (response or none, payload bytes or none, error or none): either a response or an error.
using ResponseHandler = std::function<void(std::optional<boost::json::object> response,
                                           std::optional<std::string> payload,
                                           std::optional<foundation::Error> error)>;

// A submitted request, waiting for the connection to become ready.
class BrindleRPCOutboundRequest {
public:
    uint64_t requestID = 0;
    boost::json::object payload;
    std::shared_ptr<const std::string> binaryPayload;
    ResponseHandler handler;
    std::shared_ptr<const void> directReadOwner;
    void* directReadBuffer = nullptr;
    uint64_t directReadCapacity = 0;
};

// A sent request awaiting its reply. The direct-read owner, buffer and capacity live in the
// slot that the reader consults, which also stops the reader once the request is completed.
class BrindleRPCPendingRequest {
public:
    ResponseHandler handler;
    std::shared_ptr<framing::DirectReadSlot> directRead;
    // The request as sent, kept only for a client's exchange observer.
    std::optional<boost::json::object> request;
};

}  // namespace brindle
