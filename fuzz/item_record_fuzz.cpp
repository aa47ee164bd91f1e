#include "module/rpc/BrindleRPCClient.h"
#include "platform/foundation/json.h"

#include <cstddef>
#include <cstdint>

// Reads the input as a reply: judges it, and reads it and every object inside it as an item record.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto parsed = foundation::json::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed || !parsed.value().is_object()) return 0;
    const boost::json::object& reply = parsed.value().get_object();
    brindle::BrindleRPCClient::rpcErrorFromResponse(reply, 5, "fuzz failed");
    brindle::BrindleRPCClient::replyWithBooleanResponse(reply, "fuzz failed", [](bool, std::optional<foundation::Error>) {});
    std::optional<foundation::Error> error;
    brindle::BrindleRPCClient::itemFromDictionary(reply, std::string("default"), &error);
    for (const auto& [key, value] : reply) {
        if (const auto* record = value.if_object()) brindle::BrindleRPCClient::itemFromDictionary(*record, std::nullopt, &error);
        if (const auto* records = value.if_array()) {
            for (const auto& entry : *records) {
                if (const auto* record = entry.if_object()) brindle::BrindleRPCClient::itemFromDictionary(*record, std::nullopt, nullptr);
            }
        }
    }
    return 0;
}
