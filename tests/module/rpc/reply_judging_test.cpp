#include "module/rpc/BrindleRPCClient.h"
#include "platform/foundation/errno_table.h"

#include <gtest/gtest.h>

#include <unistd.h>

using brindle::BrindleRPCClient;
using brindle::ItemType;
using foundation::Error;
namespace darwin = foundation::darwin;

namespace {

boost::json::object fullRecord() {
    return boost::json::parse(R"({"node_id":12,"parent_id":3,"type":"file","name":"a.txt","next_cookie":77,
        "mode":33188,"link_count":4,"uid":501,"gid":20,"size":1000,"alloc_size":4096,
        "modify_time_sec":10,"modify_time_nsec":11,"change_time_sec":20,"change_time_nsec":21,
        "access_time_sec":-30,"access_time_nsec":2000000000,"birth_time_sec":40,"birth_time_nsec":41})")
        .as_object();
}

std::optional<Error> errorOf(const boost::json::object& record) {
    std::optional<Error> error;
    EXPECT_EQ(BrindleRPCClient::itemFromDictionary(record, std::nullopt, &error), nullptr);
    return error;
}

}  // namespace

TEST(ReplyErrorTest, CodeAndMessageAreTakenIndependently) {
    const auto error = [](const char* json) {
        return BrindleRPCClient::rpcErrorFromResponse(boost::json::parse(json).as_object(), darwin::eio,
                                                      "lookup failed");
    };
    EXPECT_EQ(error(R"({"ok":false,"errno":2,"error":"gone"})"), Error::posix(2, "gone"));
    EXPECT_EQ(error(R"({"ok":false})"), Error::posix(darwin::eio, "lookup failed"));
    EXPECT_EQ(error(R"({"errno":13})"), Error::posix(13, "lookup failed"));
    EXPECT_EQ(error(R"({"errno":0})"), Error::posix(0, "lookup failed"));
    EXPECT_EQ(error(R"({"errno":"2","error":7})"), Error::posix(darwin::eio, "lookup failed"));
}

TEST(ReplyErrorTest, BooleanRepliesSucceedOnlyOnATrueOk) {
    const auto judge = [](const char* json) {
        std::optional<std::pair<bool, std::optional<Error>>> result;
        BrindleRPCClient::replyWithBooleanResponse(boost::json::parse(json).as_object(), "ping failed",
                                                   [&](bool ok, std::optional<Error> error) {
                                                       EXPECT_FALSE(result.has_value());
                                                       result.emplace(ok, error);
                                                   });
        EXPECT_TRUE(result.has_value());
        return result.value_or(std::pair<bool, std::optional<Error>>{});
    };
    EXPECT_EQ(judge(R"({"ok":true})"), std::make_pair(true, std::optional<Error>()));
    EXPECT_EQ(judge(R"({"ok":1})").first, true);
    EXPECT_EQ(judge(R"({"ok":"yes"})"), std::make_pair(false, std::optional(Error::posix(darwin::eio, "ping failed"))));
    EXPECT_EQ(judge(R"({})").second, Error::posix(darwin::eio, "ping failed"));
    EXPECT_EQ(judge(R"({"ok":false,"errno":1,"error":"no"})").second, Error::posix(1, "no"));
}

TEST(ItemRecordTest, AWholeAttributeSetIsTakenAsItIs) {
    std::optional<Error> error;
    const auto item = BrindleRPCClient::itemFromDictionary(fullRecord(), std::string("default"), &error);
    ASSERT_NE(item, nullptr);
    EXPECT_FALSE(error);
    EXPECT_EQ(item->name, "a.txt");
    EXPECT_EQ(item->nodeID, 12u);
    EXPECT_EQ(item->parentNodeID, 3u);
    EXPECT_EQ(item->directoryCookie, 77u);
    EXPECT_EQ(item->itemType, ItemType::File);
    EXPECT_EQ(item->mode, 33188u);
    EXPECT_EQ(item->linkCount, 4u);
    EXPECT_EQ(item->uid, 501u);
    EXPECT_EQ(item->gid, 20u);
    EXPECT_EQ(item->size, 1000u);
    EXPECT_EQ(item->allocSize, 4096u);
    EXPECT_EQ(item->modifyTime.tv_sec, 10);
    EXPECT_EQ(item->modifyTime.tv_nsec, 11);
    EXPECT_EQ(item->changeTime.tv_sec, 20);
    EXPECT_EQ(item->accessTime.tv_sec, -30);          // negative seconds pass unchanged
    EXPECT_EQ(item->accessTime.tv_nsec, 2000000000);  // and so do out-of-range nanoseconds
    EXPECT_EQ(item->birthTime.tv_nsec, 41);
    EXPECT_TRUE(item->attributesLoaded);
    EXPECT_EQ(item->directoryVerifier, 1u);
    EXPECT_EQ(item->directoryHandleID, 0u);
}

TEST(ItemRecordTest, OneMissingOrNonNumericAttributeMakesEveryAttributeAPlaceholder) {
    for (const char* spoiled : {"birth_time_nsec", "mode"}) {
        auto record = fullRecord();
        record.erase(spoiled);
        if (std::string_view(spoiled) == "mode") record["mode"] = true;
        const auto item = BrindleRPCClient::itemFromDictionary(record, std::nullopt, nullptr);
        ASSERT_NE(item, nullptr) << spoiled;
        EXPECT_FALSE(item->attributesLoaded);
        EXPECT_EQ(item->mode, 0644u);
        EXPECT_EQ(item->linkCount, 1u);
        EXPECT_EQ(item->uid, ::getuid());
        EXPECT_EQ(item->size, 0u);
        EXPECT_EQ(item->allocSize, 0u);
        EXPECT_NE(item->modifyTime.tv_sec, 10);
        EXPECT_EQ(item->modifyTime.tv_sec, item->birthTime.tv_sec);
        EXPECT_EQ(item->modifyTime.tv_nsec, item->changeTime.tv_nsec);
        EXPECT_EQ(item->accessTime.tv_nsec, item->birthTime.tv_nsec);
    }
}

TEST(ItemRecordTest, PlaceholdersFollowTheType) {
    const auto placeholder = [](const char* type) {
        boost::json::object record{{"node_id", 2}, {"parent_id", 1}, {"type", type}};
        return BrindleRPCClient::itemFromDictionary(record, std::nullopt, nullptr);
    };
    const std::pair<const char*, ItemType> types[] = {
        {"file", ItemType::File},       {"directory", ItemType::Directory},
        {"symlink", ItemType::SymbolicLink}, {"fifo", ItemType::FIFO},
        {"char_device", ItemType::CharacterDevice}, {"block_device", ItemType::BlockDevice},
        {"socket", ItemType::Socket},
    };
    for (const auto& [text, type] : types) {
        const auto item = placeholder(text);
        ASSERT_NE(item, nullptr) << text;
        EXPECT_EQ(item->itemType, type);
        const bool directory = type == ItemType::Directory;
        EXPECT_EQ(item->mode, directory ? 0755u : type == ItemType::SymbolicLink ? 0777u : 0644u) << text;
        EXPECT_EQ(item->linkCount, directory ? 2u : 1u) << text;
    }
}

TEST(ItemRecordTest, MalformedIdentityOrTypeYieldsEinvalWithoutDescription) {
    const Error einval = Error::posix(darwin::einval);
    EXPECT_EQ(errorOf({{"node_id", "12"}, {"parent_id", 1}, {"type", "file"}}), einval);
    EXPECT_EQ(errorOf({{"node_id", 12}, {"type", "file"}}), einval);
    EXPECT_EQ(errorOf({{"node_id", 12}, {"parent_id", 1}, {"type", 1}}), einval);
    EXPECT_EQ(errorOf({{"node_id", 12}, {"parent_id", 1}, {"type", "Directory"}}), einval);
    EXPECT_EQ(errorOf({{"node_id", 12}, {"parent_id", 1}, {"type", "dir"}}), einval);
    EXPECT_EQ(errorOf({{"node_id", true}, {"parent_id", 1}, {"type", "file"}}), einval);
}

TEST(ItemRecordTest, NamesAndCookiesFallBackToDefaults) {
    boost::json::object record{{"node_id", 1}, {"parent_id", 1}, {"type", "directory"}};
    EXPECT_EQ(BrindleRPCClient::itemFromDictionary(record, std::string("/"), nullptr)->name, "/");
    EXPECT_EQ(BrindleRPCClient::itemFromDictionary(record, std::nullopt, nullptr)->name, "");
    EXPECT_EQ(BrindleRPCClient::itemFromDictionary(record, std::nullopt, nullptr)->directoryCookie, 0u);
    record["name"] = 5;
    EXPECT_EQ(BrindleRPCClient::itemFromDictionary(record, std::string("given"), nullptr)->name, "given");
}

TEST(ItemRecordTest, DefaultModesByTypeDifferFromTheVolumesTable) {
    EXPECT_EQ(BrindleRPCClient::defaultModeForItemType(2), 0755u);
    EXPECT_EQ(BrindleRPCClient::defaultModeForItemType(3), 0777u);
    for (int64_t type : {0, 1, 4, 5, 6, 7, 99}) EXPECT_EQ(BrindleRPCClient::defaultModeForItemType(type), 0644u);
    const timespec time = BrindleRPCClient::timespecWithSeconds(-5, 1'500'000'000);
    EXPECT_EQ(time.tv_sec, -5);
    EXPECT_EQ(time.tv_nsec, 1'500'000'000);
}
