#include "sdk/cpp/dispatch/results.h"

#include "brindle/names.h"
#include "platform/log/log.h"

#include <fmt/format.h>

namespace brindle::sdk {

namespace {

constexpr int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr uint64_t kAllocationUnit = 4096;

std::optional<wire::ItemRecordType> recordType(ItemType type) {
    switch (type) {
        case ItemType::file: return wire::ItemRecordType::file;
        case ItemType::directory: return wire::ItemRecordType::directory;
        case ItemType::symlink: return wire::ItemRecordType::symlink;
        case ItemType::fifo: return wire::ItemRecordType::fifo;
        case ItemType::charDevice: return wire::ItemRecordType::charDevice;
        case ItemType::blockDevice: return wire::ItemRecordType::blockDevice;
        case ItemType::socket: return wire::ItemRecordType::socket;
    }
    return std::nullopt;
}

std::optional<wire::ItemRecordTime> recordTime(const Time& time) {
    if (time.nanoseconds < 0 || time.nanoseconds >= kNanosecondsPerSecond) return std::nullopt;
    return wire::ItemRecordTime{time.seconds, time.nanoseconds};
}

}  // namespace

Error handlerFault(std::string_view method, std::string_view problem) {
    std::string message = fmt::format("{}: {}", method, problem);
    logging::error("orvel: server answered EIO: {}", message);
    return Error(Errno::eio, std::move(message));
}

Result<wire::ItemRecord> recordOf(const Call& call, const Backend& backend, NodeId node, const Result<Item>& item) {
    if (!item) return item.error();
    if (item.value().node != node) {
        return handlerFault(call.method(), fmt::format("the handler answered for node {} when asked about node {}",
                                                       item.value().node, node));
    }
    return itemRecord(call.method(), backend, item.value(), std::nullopt);
}

Result<wire::ItemRecord> itemRecord(std::string_view method, const Backend& backend, const Item& item,
                                    const std::optional<Place>& place) {
    if (item.node == 0) return handlerFault(method, "the handler's node id is 0");
    if (!backend.issued(item.node)) {
        return handlerFault(method, fmt::format("the handler answered with node {}, which it never issued", item.node));
    }
    const Attributes& given = item.attributes;
    const auto type = recordType(given.type);
    if (!type) {
        return handlerFault(method, fmt::format("the handler's type {} is none of the seven",
                                                static_cast<int>(given.type)));
    }
    if (!place && !isValidUTF8(item.name)) return handlerFault(method, "the handler's name is not UTF-8");

    wire::ItemRecordAttributes attributes;
    attributes.mode = given.mode & 07777;
    attributes.linkCount = given.linkCount;
    attributes.uid = given.uid;
    attributes.gid = given.gid;
    attributes.size = given.size;
    attributes.allocSize =
        given.allocSize.value_or((given.size + kAllocationUnit - 1) / kAllocationUnit * kAllocationUnit);
    std::optional<Error> fault;
    const auto take = [&](std::string_view which, const Time& time, wire::ItemRecordTime& out) {
        const auto taken = recordTime(time);
        if (taken) {
            out = *taken;
        } else if (!fault) {
            fault = handlerFault(method,
                                 fmt::format("the handler's {} time has {} nanoseconds", which, time.nanoseconds));
        }
    };
    take("access", given.accessTime, attributes.accessTime);
    take("modification", given.modifyTime, attributes.modifyTime);
    take("change", given.changeTime, attributes.changeTime);
    take("birth", given.birthTime.value_or(given.modifyTime), attributes.birthTime);
    if (fault) return *fault;

    wire::ItemRecord record;
    record.nodeID = item.node;
    record.parentID = place ? place->parent : item.parent;
    record.type = *type;
    record.name = std::string(place ? place->name : std::string_view(item.name));
    record.attributes = attributes;
    return record;
}

}  // namespace brindle::sdk
