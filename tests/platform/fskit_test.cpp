#include "platform/fskit/file_name.h"
#include "platform/fskit/item_attributes.h"

#include <gtest/gtest.h>

using namespace fskit;

TEST(FSFileName, StringFormOnlyForValidUtf8) {
    EXPECT_EQ(FSFileName::nameWithString("caf\xc3\xa9").string(), "caf\xc3\xa9");
    EXPECT_EQ(FSFileName::nameWithString("").string(), "");
    for (const char* bad : {"\xff", "\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\x80"}) {
        EXPECT_FALSE(FSFileName::nameWithBytes(bad).string()) << bad;
    }
    EXPECT_TRUE(FSFileName::nameWithBytes("\xf0\x9f\x98\x80").string());
}

TEST(FSItemSetAttributesRequest, ValidBitsFollowTheGivenValues) {
    FSItemSetAttributesRequest request;
    request.mode = 0644;
    request.birthTime = timespec{1, 2};
    EXPECT_TRUE(request.isValid(FSItemAttributeMode));
    EXPECT_TRUE(request.isValid(FSItemAttributeBirthTime));
    EXPECT_FALSE(request.isValid(FSItemAttributeSize));
    EXPECT_FALSE(request.isValid(FSItemAttributeMode | FSItemAttributeSize)) << "one bit at a time";
    EXPECT_EQ(request.consumedAttributes, 0u);
}

TEST(FSItemGetAttributesRequest, WantsOnlyItsBits) {
    FSItemGetAttributesRequest request(FSItemAttributeSize | FSItemAttributeMode);
    EXPECT_TRUE(request.isAttributeWanted(FSItemAttributeSize));
    EXPECT_FALSE(request.isAttributeWanted(FSItemAttributeUID));
}
