#pragma once

#include <boost/json.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The item record: the JSON object by which a server describes one file-system object, as both
// ends read and write it.
namespace brindle::wire {

enum class ItemRecordType { file, directory, symlink, fifo, charDevice, blockDevice, socket };

// The type's wire string ("char_device"), and the type a wire string names; none for anything
// but the seven strings, compared exactly.
std::string_view itemRecordTypeName(ItemRecordType type);
std::optional<ItemRecordType> itemRecordTypeNamed(std::string_view name);

struct ItemRecordTime {
    int64_t seconds = 0;
    int64_t nanoseconds = 0;
    bool operator==(const ItemRecordTime&) const = default;
};

// The attribute set, which a record carries whole or not at all.
struct ItemRecordAttributes {
    uint32_t mode = 0;
    uint32_t linkCount = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t size = 0;
    uint64_t allocSize = 0;
    ItemRecordTime modifyTime;
    ItemRecordTime changeTime;
    ItemRecordTime accessTime;
    ItemRecordTime birthTime;
    bool operator==(const ItemRecordAttributes&) const = default;
};

// The fourteen keys of the attribute set.
extern const std::array<std::string_view, 14> kItemRecordAttributeKeys;

struct ItemRecord {
    uint64_t nodeID = 0;
    uint64_t parentID = 0;
    ItemRecordType type = ItemRecordType::file;
    // A record without a name takes the one its method supplies.
    std::optional<std::string> name;
    // The cookie after this entry in its directory's listing; listings only.
    std::optional<uint64_t> nextCookie;
    // None when any of the fourteen keys is missing or not a number: the reader then knows the
    // object's identity but not its attributes, and must ask for them before it reports them.
    std::optional<ItemRecordAttributes> attributes;
    bool operator==(const ItemRecord&) const = default;
};

boost::json::object encodeItemRecord(const ItemRecord& record, boost::json::storage_ptr storage = {});
// None when "node_id" or "parent_id" is not a number, or "type" is not one of the seven type
// strings. A key of the wrong type counts as missing; numbers are taken at their field's width.
std::optional<ItemRecord> decodeItemRecord(const boost::json::object& object);

}  // namespace brindle::wire
