#include "module/rpc/BrindleRPCClient.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "protocol/wire.h"

#include <array>
#include <unistd.h>

namespace brindle {

using foundation::Error;
namespace darwin = foundation::darwin;
namespace json = foundation::json;

namespace {

std::optional<ItemType> itemTypeFromString(std::string_view text) {
    static constexpr std::array<std::pair<std::string_view, ItemType>, 7> kTypes{{
        {wire::type::file, ItemType::File},
        {wire::type::directory, ItemType::Directory},
        {wire::type::symlink, ItemType::SymbolicLink},
        {wire::type::fifo, ItemType::FIFO},
        {wire::type::charDevice, ItemType::CharacterDevice},
        {wire::type::blockDevice, ItemType::BlockDevice},
        {wire::type::socket, ItemType::Socket},
    }};
    for (const auto& [name, type] : kTypes) {
        if (name == text) return type;
    }
    return std::nullopt;
}

}  // namespace

Error BrindleRPCClient::rpcErrorFromResponse(const boost::json::object& response, int defaultCode,
                                             const std::string& defaultMessage) {
    const int code = json::int32Field(response, wire::key::errnoCode).value_or(defaultCode);
    const boost::json::string* message = json::stringField(response, wire::key::error);
    return Error::posix(code, message != nullptr ? std::string(*message) : defaultMessage);
}

void BrindleRPCClient::replyWithBooleanResponse(const boost::json::object& response, const std::string& defaultMessage,
                                                const SuccessReply& reply) {
    if (!reply) return;
    const boost::json::value* ok = response.if_contains(wire::key::ok);
    if (ok != nullptr && json::truthValue(*ok)) {
        reply(true, std::nullopt);
    } else {
        reply(false, rpcErrorFromResponse(response, darwin::eio, defaultMessage));
    }
}

std::shared_ptr<BrindleItem> BrindleRPCClient::itemFromDictionary(const boost::json::object& record,
                                                                  const std::optional<std::string>& defaultName,
                                                                  std::optional<Error>* error) {
    const boost::json::string* name = json::stringField(record, wire::key::name);
    const auto nodeID = json::uint64Field(record, wire::key::nodeID);
    const auto parentID = json::uint64Field(record, wire::key::parentID);
    const boost::json::string* type = json::stringField(record, wire::key::type);
    if (!nodeID || !parentID || type == nullptr) {
        if (error != nullptr) *error = Error::posix(darwin::einval);
        return nullptr;
    }
    const auto itemType = itemTypeFromString(*type);
    if (!itemType) {
        if (error != nullptr) *error = Error::posix(darwin::einval);
        return nullptr;
    }

    auto item = std::make_shared<BrindleItem>();
    item->name = name != nullptr ? std::string(*name) : defaultName.value_or(std::string());
    item->nodeID = *nodeID;
    item->parentNodeID = *parentID;
    item->directoryCookie = json::uint64Field(record, wire::key::nextCookie).value_or(0);
    item->itemType = *itemType;

    const auto mode = json::uint32Field(record, wire::key::mode);
    const auto linkCount = json::uint32Field(record, wire::key::linkCount);
    const auto uid = json::uint32Field(record, wire::key::uid);
    const auto gid = json::uint32Field(record, wire::key::gid);
    const auto size = json::uint64Field(record, wire::key::size);
    const auto allocSize = json::uint64Field(record, wire::key::allocSize);
    const auto modifySec = json::int64Field(record, wire::key::modifyTimeSec);
    const auto modifyNsec = json::int64Field(record, wire::key::modifyTimeNsec);
    const auto changeSec = json::int64Field(record, wire::key::changeTimeSec);
    const auto changeNsec = json::int64Field(record, wire::key::changeTimeNsec);
    const auto accessSec = json::int64Field(record, wire::key::accessTimeSec);
    const auto accessNsec = json::int64Field(record, wire::key::accessTimeNsec);
    const auto birthSec = json::int64Field(record, wire::key::birthTimeSec);
    const auto birthNsec = json::int64Field(record, wire::key::birthTimeNsec);
    const bool wholeSet = mode && linkCount && uid && gid && size && allocSize && modifySec && modifyNsec &&
                          changeSec && changeNsec && accessSec && accessNsec && birthSec && birthNsec;
    if (wholeSet) {
        item->mode = *mode;
        item->linkCount = *linkCount;
        item->uid = *uid;
        item->gid = *gid;
        item->size = *size;
        item->allocSize = *allocSize;
        item->modifyTime = timespecWithSeconds(*modifySec, *modifyNsec);
        item->changeTime = timespecWithSeconds(*changeSec, *changeNsec);
        item->accessTime = timespecWithSeconds(*accessSec, *accessNsec);
        item->birthTime = timespecWithSeconds(*birthSec, *birthNsec);
        item->attributesLoaded = true;
    } else {
        item->mode = defaultModeForItemType(static_cast<int64_t>(*itemType));
        item->linkCount = *itemType == ItemType::Directory ? 2 : 1;
        item->uid = ::getuid();
        item->gid = ::getgid();
        item->size = 0;
        item->allocSize = 0;
        const timespec now = currentCalendarTime();
        item->modifyTime = now;
        item->changeTime = now;
        item->accessTime = now;
        item->birthTime = now;
        item->attributesLoaded = false;
    }
    return item;
}

uint32_t BrindleRPCClient::defaultModeForItemType(int64_t itemType) {
    switch (static_cast<ItemType>(itemType)) {
        case ItemType::Directory: return 0755;
        case ItemType::SymbolicLink: return 0777;
        default: return 0644;
    }
}

timespec BrindleRPCClient::timespecWithSeconds(int64_t seconds, int64_t nanoseconds) {
    timespec value{};
    value.tv_sec = static_cast<time_t>(seconds);
    value.tv_nsec = static_cast<long>(nanoseconds);
    return value;
}

}  // namespace brindle
