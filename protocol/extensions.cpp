#include "protocol/extensions.h"

#include "protocol/wire.h"

#include <algorithm>

namespace brindle::wire {

bool isExtensionName(std::string_view name) {
    if (name.empty() || name.size() > kMaxExtensionName || name.front() < 'a' || name.front() > 'z') return false;
    return std::ranges::all_of(name, [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; });
}

std::set<std::string> advertisedExtensions(const boost::json::object& handshakeReply) {
    const auto* value = handshakeReply.if_contains(key::extensions);
    const auto* list = value != nullptr ? value->if_array() : nullptr;
    if (list == nullptr || !std::ranges::all_of(*list, [](const auto& element) { return element.is_string(); })) {
        return {};
    }
    std::set<std::string> names;
    for (const auto& element : *list) {
        const std::string_view name = element.get_string();
        if (isExtensionName(name)) names.emplace(name);
    }
    return names;
}

}  // namespace brindle::wire
