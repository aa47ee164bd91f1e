#include "module/rpc/BrindleRPCClient.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "protocol/item_record.h"
#include "protocol/wire.h"

#include <unistd.h>

namespace brindle {

using foundation::Error;
namespace darwin = foundation::darwin;
namespace json = foundation::json;

namespace {

ItemType itemTypeOf(wire::ItemRecordType type) {
    switch (type) {
        case wire::ItemRecordType::file: return ItemType::File;
        case wire::ItemRecordType::directory: return ItemType::Directory;
        case wire::ItemRecordType::symlink: return ItemType::SymbolicLink;
        case wire::ItemRecordType::fifo: return ItemType::FIFO;
        case wire::ItemRecordType::charDevice: return ItemType::CharacterDevice;
        case wire::ItemRecordType::blockDevice: return ItemType::BlockDevice;
        case wire::ItemRecordType::socket: return ItemType::Socket;
    }
    return ItemType::None;
}

timespec timespecOf(const wire::ItemRecordTime& time) {
    return BrindleRPCClient::timespecWithSeconds(time.seconds, time.nanoseconds);
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

std::shared_ptr<BrindleItem> BrindleRPCClient::itemFromDictionary(const boost::json::object& dictionary,
                                                                  const std::optional<std::string>& defaultName,
                                                                  std::optional<Error>* error) {
    const auto record = wire::decodeItemRecord(dictionary);
    if (!record) {
        if (error != nullptr) *error = Error::posix(darwin::einval);
        return nullptr;
    }

    auto item = std::make_shared<BrindleItem>();
    item->name = record->name ? *record->name : defaultName.value_or(std::string());
    item->nodeID = record->nodeID;
    item->parentNodeID = record->parentID;
    item->directoryCookie = record->nextCookie.value_or(0);
    item->itemType = itemTypeOf(record->type);

    if (const auto& attributes = record->attributes) {
        item->mode = attributes->mode;
        item->linkCount = attributes->linkCount;
        item->uid = attributes->uid;
        item->gid = attributes->gid;
        item->size = attributes->size;
        item->allocSize = attributes->allocSize;
        item->modifyTime = timespecOf(attributes->modifyTime);
        item->changeTime = timespecOf(attributes->changeTime);
        item->accessTime = timespecOf(attributes->accessTime);
        item->birthTime = timespecOf(attributes->birthTime);
        item->attributesLoaded = true;
    } else {
        item->mode = defaultModeForItemType(static_cast<int64_t>(item->itemType));
        item->linkCount = item->itemType == ItemType::Directory ? 2 : 1;
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
