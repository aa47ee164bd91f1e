#include "protocol/item_record.h"

#include "platform/foundation/json.h"
#include "protocol/wire.h"

#include <algorithm>
#include <utility>

namespace brindle::wire {

namespace json = foundation::json;

namespace {

constexpr std::array<std::pair<ItemRecordType, std::string_view>, 7> kTypeNames{{
    {ItemRecordType::file, type::file},
    {ItemRecordType::directory, type::directory},
    {ItemRecordType::symlink, type::symlink},
    {ItemRecordType::fifo, type::fifo},
    {ItemRecordType::charDevice, type::charDevice},
    {ItemRecordType::blockDevice, type::blockDevice},
    {ItemRecordType::socket, type::socket},
}};

void putTime(boost::json::object& object, std::string_view secondsKey, std::string_view nanosecondsKey,
             const ItemRecordTime& time) {
    object[secondsKey] = time.seconds;
    object[nanosecondsKey] = time.nanoseconds;
}

ItemRecordTime takeTime(const boost::json::object& object, std::string_view secondsKey,
                        std::string_view nanosecondsKey) {
    return {*json::int64Field(object, secondsKey), *json::int64Field(object, nanosecondsKey)};
}

}  // namespace

const std::array<std::string_view, 14> kItemRecordAttributeKeys{
    key::mode,          key::linkCount,      key::uid,           key::gid,
    key::size,          key::allocSize,      key::modifyTimeSec, key::modifyTimeNsec,
    key::changeTimeSec, key::changeTimeNsec, key::accessTimeSec, key::accessTimeNsec,
    key::birthTimeSec,  key::birthTimeNsec,
};

std::string_view itemRecordTypeName(ItemRecordType type) {
    for (const auto& [each, name] : kTypeNames) {
        if (each == type) return name;
    }
    return type::file;
}

std::optional<ItemRecordType> itemRecordTypeNamed(std::string_view name) {
    for (const auto& [type, each] : kTypeNames) {
        if (each == name) return type;
    }
    return std::nullopt;
}

boost::json::object encodeItemRecord(const ItemRecord& record, boost::json::storage_ptr storage) {
    // Room for every key at once: grown a key at a time, the table was moved and rehashed 8 times.
    boost::json::object object(std::move(storage));
    object.reserve(5 + kItemRecordAttributeKeys.size());
    object[key::nodeID] = record.nodeID;
    object[key::parentID] = record.parentID;
    if (record.name) object[key::name] = *record.name;
    object[key::type] = itemRecordTypeName(record.type);
    if (record.nextCookie) object[key::nextCookie] = *record.nextCookie;
    if (const auto& attributes = record.attributes) {
        object[key::mode] = attributes->mode;
        object[key::linkCount] = attributes->linkCount;
        object[key::uid] = attributes->uid;
        object[key::gid] = attributes->gid;
        object[key::size] = attributes->size;
        object[key::allocSize] = attributes->allocSize;
        putTime(object, key::modifyTimeSec, key::modifyTimeNsec, attributes->modifyTime);
        putTime(object, key::changeTimeSec, key::changeTimeNsec, attributes->changeTime);
        putTime(object, key::accessTimeSec, key::accessTimeNsec, attributes->accessTime);
        putTime(object, key::birthTimeSec, key::birthTimeNsec, attributes->birthTime);
    }
    return object;
}

std::optional<ItemRecord> decodeItemRecord(const boost::json::object& object) {
    const auto nodeID = json::uint64Field(object, key::nodeID);
    const auto parentID = json::uint64Field(object, key::parentID);
    const boost::json::string* typeName = json::stringField(object, key::type);
    if (!nodeID || !parentID || typeName == nullptr) return std::nullopt;
    const auto type = itemRecordTypeNamed(std::string_view(typeName->data(), typeName->size()));
    if (!type) return std::nullopt;

    ItemRecord record;
    record.nodeID = *nodeID;
    record.parentID = *parentID;
    record.type = *type;
    if (const boost::json::string* name = json::stringField(object, key::name)) record.name = std::string(*name);
    record.nextCookie = json::uint64Field(object, key::nextCookie);

    // A number that reads at one width reads at every width (an infinity at none).
    const bool wholeSet = std::ranges::all_of(kItemRecordAttributeKeys, [&](std::string_view attributeKey) {
        return json::int64Field(object, attributeKey).has_value();
    });
    if (wholeSet) {
        ItemRecordAttributes attributes;
        attributes.mode = *json::uint32Field(object, key::mode);
        attributes.linkCount = *json::uint32Field(object, key::linkCount);
        attributes.uid = *json::uint32Field(object, key::uid);
        attributes.gid = *json::uint32Field(object, key::gid);
        attributes.size = *json::uint64Field(object, key::size);
        attributes.allocSize = *json::uint64Field(object, key::allocSize);
        attributes.modifyTime = takeTime(object, key::modifyTimeSec, key::modifyTimeNsec);
        attributes.changeTime = takeTime(object, key::changeTimeSec, key::changeTimeNsec);
        attributes.accessTime = takeTime(object, key::accessTimeSec, key::accessTimeNsec);
        attributes.birthTime = takeTime(object, key::birthTimeSec, key::birthTimeNsec);
        record.attributes = attributes;
    }
    return record;
}

}  // namespace brindle::wire
