#include "protocol/extensions.h"
#include "protocol/wire.h"
#include "sdk/cpp/dispatch/dispatcher.h"

#include <utility>
#include <vector>

namespace brindle::sdk {

namespace key = wire::key;

namespace {

std::optional<uint64_t> unsignedOf(const boost::json::value& value) {
    if (value.is_uint64()) return value.get_uint64();
    if (value.is_int64() && value.get_int64() >= 0) return static_cast<uint64_t>(value.get_int64());
    return std::nullopt;
}

// The list under `key`, each of its values an unsigned integer.
Result<std::vector<uint64_t>> unsignedList(const Request& request, std::string_view key) {
    const auto* value = request.object.if_contains(key);
    const auto* list = value != nullptr ? value->if_array() : nullptr;
    if (list == nullptr) return Error(Errno::einval, "\"" + std::string(key) + "\" is not a list");
    std::vector<uint64_t> numbers;
    numbers.reserve(list->size());
    for (const auto& element : *list) {
        const auto number = unsignedOf(element);
        if (!number) return Error(Errno::einval, "\"" + std::string(key) + "\" holds a value that is not an unsigned integer");
        numbers.push_back(*number);
    }
    return numbers;
}

}  // namespace

Reply Dispatcher::forgetNodes(const Request& request, const Call& call) {
    if (!advertises(wire::extension::forget)) {
        return errorReply(Error(Errno::enotsup, "this server does not offer the \"forget\" extension"));
    }
    auto nodes = unsignedList(request, key::nodeIDs);
    if (!nodes) return errorReply(nodes.error());
    auto counts = unsignedList(request, key::counts);
    if (!counts) return errorReply(counts.error());
    if (nodes.value().size() != counts.value().size()) {
        return errorReply(Error(Errno::einval, "\"node_ids\" and \"counts\" differ in length"));
    }
    // Checked whole before any of it is applied, so a malformed request forgets nothing.
    for (size_t i = 0; i < nodes.value().size(); ++i) {
        const NodeId node = nodes.value()[i];
        const uint64_t count = counts.value()[i];
        if (node == 0 || count == 0 || !backend_.issued(node)) continue;
        backend_.forget(call, node, count);
    }
    return okReply();
}

}  // namespace brindle::sdk
