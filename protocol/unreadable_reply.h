#pragma once

#include "platform/foundation/error.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace brindle::framing {

// A reply whose JSON cannot be read but which still names the request it answers: that request
// alone can fail, since the frame's header has kept the stream in step.
struct UnreadableReply {
    uint64_t requestID;
    foundation::Error error;
};

// Recovers the top-level numeric "request_id" of JSON text the strict parser refused, when it
// comes before the first fault. Invalid UTF-8 inside strings is passed over (EILSEQ); a syntax
// fault after the id still identifies the request (EIO). None when the request cannot be told.
std::optional<UnreadableReply> identifyUnreadableReply(std::string_view json);

}  // namespace brindle::framing
