#include "platform/foundation/json.h"
#include "protocol/item_record.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using brindle::wire::decodeItemRecord;
using brindle::wire::encodeItemRecord;
using brindle::wire::ItemRecord;
using brindle::wire::ItemRecordAttributes;
using brindle::wire::ItemRecordType;

ItemRecordAttributes extremeAttributes() {
    ItemRecordAttributes attributes;
    attributes.mode = std::numeric_limits<uint32_t>::max();
    attributes.linkCount = 1;
    attributes.uid = std::numeric_limits<uint32_t>::max() - 1;
    attributes.gid = 0;
    attributes.size = std::numeric_limits<uint64_t>::max();
    attributes.allocSize = uint64_t{1} << 63;
    attributes.modifyTime = {std::numeric_limits<int64_t>::min(), 1'999'999'999};
    attributes.changeTime = {-1, -1};
    attributes.accessTime = {std::numeric_limits<int64_t>::max(), 0};
    attributes.birthTime = {0, 999'999'999};
    return attributes;
}

TEST(WireItemRecordTest, EveryFieldSurvivesTheWireAtItsFullWidth) {
    for (const auto type : {ItemRecordType::file, ItemRecordType::directory, ItemRecordType::symlink,
                            ItemRecordType::fifo, ItemRecordType::charDevice, ItemRecordType::blockDevice,
                            ItemRecordType::socket}) {
        const ItemRecord record{std::numeric_limits<uint64_t>::max(), 1, type, "n\xc3\xa4me", uint64_t{1} << 40,
                                extremeAttributes()};
        const auto text = foundation::json::serialize(encodeItemRecord(record));
        const auto parsed = foundation::json::parse(text);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(decodeItemRecord(parsed.value().get_object()), record) << text;
    }
}

TEST(WireItemRecordTest, WhatARecordLeavesOutStaysOut) {
    const ItemRecord bare{7, 1, ItemRecordType::directory, std::nullopt, std::nullopt, std::nullopt};
    const auto object = encodeItemRecord(bare);
    EXPECT_EQ(object.size(), 3u) << foundation::json::serialize(object);
    EXPECT_EQ(decodeItemRecord(object), bare);
}

TEST(WireItemRecordTest, ANumberNoWidthCanHoldLeavesTheAttributeSetIncomplete) {
    ItemRecord record{7, 1, ItemRecordType::file, "f", std::nullopt, extremeAttributes()};
    // 1e999 parses as an infinity: a number to the parser, but no value at any width.
    auto parsed = foundation::json::parse(R"({"node_id":7,"parent_id":1,"type":"file","size":1e999})");
    ASSERT_TRUE(parsed);
    auto object = encodeItemRecord(record);
    object["size"] = parsed.value().get_object().at("size");
    const auto decoded = decodeItemRecord(object);
    ASSERT_TRUE(decoded);
    EXPECT_FALSE(decoded->attributes);
    object["node_id"] = parsed.value().get_object().at("size");
    EXPECT_FALSE(decodeItemRecord(object));
}

}  // namespace
