#include "module/volume/BrindleVolume.h"
#include "platform/foundation/errno_table.h"
#include "tests/module/volume/volume_harness.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <thread>

using brindle::BrindleItem;
using brindle::BrindleVolume;
using foundation::Error;
using volumetest::itemRecord;
using volumetest::RecordingPacker;
using volumetest::ScriptedVolume;
namespace darwin = foundation::darwin;

namespace {

using Listing = std::pair<uint64_t, std::optional<Error>>;

// Entry i of the scripted directory has node id 100 + i and is followed by cookie 10 * (i + 1).
boost::json::array batch(size_t first, size_t count, bool withAttributes = true) {
    boost::json::array entries;
    for (size_t i = first; i < first + count; ++i) {
        boost::json::object entry = withAttributes ? itemRecord(100 + i, 1, "e" + std::to_string(i), "file")
                                                   : boost::json::object{{"node_id", 100 + i}, {"parent_id", 1},
                                                                         {"name", "e" + std::to_string(i)},
                                                                         {"type", "file"}};
        entry["next_cookie"] = 10 * (i + 1);
        entries.push_back(std::move(entry));
    }
    return entries;
}

class EnumerationTest : public ::testing::Test {
protected:
    std::shared_ptr<rpctest::Await<Listing>> list(uint64_t cookie, uint64_t verifier,
                                                  std::shared_ptr<RecordingPacker> packer,
                                                  std::optional<fskit::FSItemGetAttributesRequest> attributes = {}) {
        auto out = std::make_shared<rpctest::Await<Listing>>();
        scripted.volume->enumerateDirectory(root, cookie, verifier, attributes, std::move(packer),
                                            [out](uint64_t v, std::optional<Error> e) { out->set({v, e}); });
        return out;
    }

    void open(uint64_t handle = 77) {
        auto out = std::make_shared<rpctest::Await<std::optional<Error>>>();
        scripted.volume->openDirectoryItem(root, [out](auto, std::optional<Error> e) { out->set(e); });
        scripted.serve("open_directory", {{"ok", true}, {"handle_id", handle}});
        const auto opened = out->get();
        ASSERT_TRUE(opened);
        ASSERT_FALSE(*opened);
    }

    rpctest::Frame serveBatch(size_t first, size_t count, bool withAttributes = true) {
        return scripted.serve("enumerate_directory", {{"ok", true}, {"dir_items", batch(first, count, withAttributes)}});
    }

    ScriptedVolume scripted;
    std::shared_ptr<BrindleItem> root = scripted.volume->rootItem();
};

}  // namespace

TEST_F(EnumerationTest, ARoomyPackerTakesThreeBatchesInOneCall) {
    open();
    auto packer = std::make_shared<RecordingPacker>();
    auto out = list(0, 0, packer);
    EXPECT_EQ(serveBatch(0, 128).json.at("cookie").as_int64(), 0);
    const auto second = serveBatch(128, 128);
    EXPECT_EQ(second.json.at("cookie").as_int64(), 1280);
    EXPECT_EQ(second.json.at("max_entries").as_int64(), 128);
    EXPECT_EQ(second.json.at("handle_id").as_int64(), 77);
    EXPECT_EQ(serveBatch(256, 44).json.at("cookie").as_int64(), 2560);
    const auto result = out->get();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->first, 1u);
    EXPECT_FALSE(result->second);
    ASSERT_EQ(packer->entries.size(), 300u);
    EXPECT_EQ(packer->entries[299].name, "e299");
    EXPECT_EQ(packer->entries[299].nextCookie, 3000u);
    EXPECT_FALSE(packer->entries[0].attributes);
    EXPECT_EQ(root->directoryResumeCookie, 0u);
    EXPECT_TRUE(scripted.volume->trackedItemForNodeID(399));
}

TEST_F(EnumerationTest, ExactlyOneFullBatchCostsASecondEmptyCall) {
    open();
    auto packer = std::make_shared<RecordingPacker>();
    auto out = list(0, 5, packer);
    serveBatch(0, 128);
    EXPECT_EQ(serveBatch(128, 0).json.at("cookie").as_int64(), 1280);
    EXPECT_EQ(out->get()->second, std::nullopt);
    EXPECT_EQ(packer->entries.size(), 128u);
}

TEST_F(EnumerationTest, APackerThatFillsUpStopsTheListingAtTheLastPackedCookie) {
    open();
    for (const size_t refuseAt : {size_t{0}, size_t{9}}) {
        auto packer = std::make_shared<RecordingPacker>(refuseAt);
        auto out = list(0, 0, packer);
        serveBatch(0, 20);
        const auto result = out->get();
        EXPECT_EQ(result->first, 1u);
        EXPECT_FALSE(result->second);
        EXPECT_EQ(packer->entries.size(), refuseAt);
        EXPECT_EQ(root->directoryResumeCookie, refuseAt == 0 ? 0u : 90u);
        // Entries after the refused one are not tracked by this call.
        EXPECT_FALSE(scripted.volume->trackedItemForNodeID(100 + refuseAt + 1));
        EXPECT_TRUE(scripted.volume->trackedItemForNodeID(100 + refuseAt));
    }
}

TEST_F(EnumerationTest, AttributesComeOnlyFromRecordsThatCarriedThem) {
    open();
    auto packer = std::make_shared<RecordingPacker>();
    auto out = list(0, 0, packer, fskit::FSItemGetAttributesRequest(fskit::FSItemAttributeSize));
    scripted.serve("enumerate_directory",
                   {{"ok", true}, {"dir_items", boost::json::array{batch(0, 1)[0], batch(1, 1, false)[0]}}});
    ASSERT_TRUE(out->get());
    ASSERT_EQ(packer->entries.size(), 2u);
    ASSERT_TRUE(packer->entries[0].attributes);
    EXPECT_TRUE(packer->entries[0].attributes->size);
    EXPECT_FALSE(packer->entries[0].attributes->mode);
    EXPECT_FALSE(packer->entries[1].attributes);
    EXPECT_TRUE(scripted.quiet());
}

TEST_F(EnumerationTest, RefusesNonDirectoriesStaleVerifiersAndUnopenedDirectoriesInThatOrder) {
    auto file = std::make_shared<BrindleItem>();
    file->nodeID = 5;
    file->itemType = brindle::ItemType::File;
    auto out = std::make_shared<rpctest::Await<Listing>>();
    scripted.volume->enumerateDirectory(file, 0, 0, std::nullopt, std::make_shared<RecordingPacker>(),
                                        [out](uint64_t v, std::optional<Error> e) { out->set({v, e}); });
    EXPECT_TRUE(out->get()->second->isPosix(darwin::enotdir));

    EXPECT_TRUE(list(10, 0, std::make_shared<RecordingPacker>())->get()->second->isPosix(darwin::einval));
    EXPECT_TRUE(list(0, 0, std::make_shared<RecordingPacker>())->get()->second->isPosix(darwin::ebadf));
    EXPECT_TRUE(list(10, 1, std::make_shared<RecordingPacker>())->get()->second->isPosix(darwin::ebadf));

    open();
    scripted.volume->invalidateDirectoryEnumerationForNodeID(1);
    EXPECT_TRUE(list(10, 1, std::make_shared<RecordingPacker>())->get()->second->isPosix(darwin::einval));
    auto restarted = list(0, 1, std::make_shared<RecordingPacker>());
    serveBatch(0, 1);
    EXPECT_EQ(restarted->get()->first, 2u);
    EXPECT_TRUE(scripted.quiet());
}

TEST_F(EnumerationTest, ACloseThatLeavesNoHandleMakesListingRefuseAgain) {
    open(77);
    open(78);
    EXPECT_EQ(root->directoryHandleID, 78u);
    auto closed = std::make_shared<rpctest::Await<std::optional<Error>>>();
    scripted.volume->closeDirectoryItem(root, [closed](std::optional<Error> e) { closed->set(e); });
    EXPECT_EQ(scripted.serve("close_directory", {{"ok", true}, {"handle_id", 0}}).json.at("handle_id").as_int64(), 78);
    EXPECT_FALSE(*closed->get());
    EXPECT_TRUE(list(0, 0, std::make_shared<RecordingPacker>())->get()->second->isPosix(darwin::ebadf));

    // Closing again has nothing to tell the server.
    auto again = std::make_shared<rpctest::Await<std::optional<Error>>>();
    scripted.volume->closeDirectoryItem(root, [again](std::optional<Error> e) { again->set(e); });
    ASSERT_TRUE(again->ready());
    EXPECT_TRUE(scripted.quiet());
}

TEST_F(EnumerationTest, AFailedOpenKeepsTheDirectoryClosed) {
    auto out = std::make_shared<rpctest::Await<std::optional<Error>>>();
    scripted.volume->openDirectoryItem(root, [out](auto, std::optional<Error> e) { out->set(e); });
    scripted.serve("open_directory", {{"ok", true}, {"handle_id", 0}});
    EXPECT_TRUE((*out->get())->isPosix(darwin::eio));
    EXPECT_EQ(root->directoryHandleID, 0u);
}

// The kernel takes an entry's cookie as the offset to resume from, and 0 restarts the listing: a
// cookie that does not grow would make `ls` loop for ever.
TEST_F(EnumerationTest, CookiesThatDoNotGrowFailTheListingWithEIOBeforeTheBatchIsPacked) {
    open();
    testsupport::LogCapture log;
    struct Case {
        const char* what;
        size_t badEntry;
        std::optional<uint64_t> cookie;
        bool inSecondBatch;
    };
    const Case cases[] = {
        {"missing", 3, std::nullopt, false},
        {"zero after the first batch", 0, 0, true},
        {"equal to the one before", 5, 50, false},
        {"smaller than the one before", 7, 20, false},
        {"equal to the request cookie", 0, 1280, true},
    };
    for (const Case& bad : cases) {
        auto packer = std::make_shared<RecordingPacker>();
        auto out = list(0, 0, packer);
        if (bad.inSecondBatch) serveBatch(0, 128);
        boost::json::array entries = batch(bad.inSecondBatch ? 128 : 0, 20);
        auto& entry = entries[bad.badEntry].as_object();
        if (bad.cookie)
            entry["next_cookie"] = *bad.cookie;
        else
            entry.erase("next_cookie");
        scripted.serve("enumerate_directory", {{"ok", true}, {"dir_items", entries}});
        const auto result = out->get();
        ASSERT_TRUE(result) << bad.what;
        ASSERT_TRUE(result->second) << bad.what;
        EXPECT_TRUE(result->second->isPosix(darwin::eio)) << bad.what;
        EXPECT_EQ(packer->entries.size(), bad.inSecondBatch ? 128u : 0u) << bad.what;
        EXPECT_TRUE(scripted.quiet()) << bad.what;
    }
    EXPECT_TRUE(log.sink().contains("orvel: enumerateDirectory cookie does not advance"));
}

TEST_F(EnumerationTest, AFailedBatchKeepsWhatEarlierBatchesPacked) {
    open();
    auto packer = std::make_shared<RecordingPacker>();
    auto out = list(0, 0, packer);
    serveBatch(0, 128);
    scripted.serve("enumerate_directory", {{"ok", false}, {"errno", darwin::eacces}});
    EXPECT_TRUE(out->get()->second->isPosix(darwin::eacces));
    EXPECT_EQ(packer->entries.size(), 128u);
}

TEST(DirectoryVerifierTest, WrapsFromTheLargestValueToOneAndResetsTheResumeCookie) {
    BrindleItem item;
    item.directoryVerifier = UINT64_MAX;
    item.directoryResumeCookie = 9;
    EXPECT_EQ(BrindleVolume::nextDirectoryVerifierForItem(item), 1u);
    EXPECT_EQ(item.directoryResumeCookie, 0u);
    item.directoryVerifier = 0;
    EXPECT_EQ(BrindleVolume::nextDirectoryVerifierForItem(item), 1u);
    EXPECT_EQ(BrindleVolume::nextDirectoryVerifierForItem(item), 2u);
}

// A lookup of the same node while a listing packs it must not change what the listing hands out:
// the entry's cookie and name are the reply's own.
TEST_F(EnumerationTest, ConcurrentLookupsOfListedNodesDoNotChangeThePackedEntries) {
    open();
    // Local to the test body, so they stop and join before the fixture's volume goes, also when an
    // assertion ends the test early.
    std::vector<std::jthread> lookups;
    for (uint64_t t = 0; t < 3; ++t) {
        lookups.emplace_back([this, t](std::stop_token stop) {
            while (!stop.stop_requested()) {
                for (uint64_t i = 0; i < 256; ++i) {
                    // A lookup record carries no cookie and another name for the node.
                    scripted.volume->canonicalItemForItem(brindle::BrindleRPCClient::itemFromDictionary(
                        itemRecord(100 + (i + t * 7) % 256, 1, "renamed", "file"), std::nullopt, nullptr));
                }
            }
        });
    }
    for (int round = 0; round < 200; ++round) {
        auto packer = std::make_shared<RecordingPacker>();
        auto out = list(0, 0, packer, fskit::FSItemGetAttributesRequest(~0ull));
        serveBatch(0, 128);
        serveBatch(128, 128);
        serveBatch(256, 0);
        const auto result = out->get();
        ASSERT_TRUE(result);
        ASSERT_FALSE(result->second) << result->second->code();
        ASSERT_EQ(packer->entries.size(), 256u);
        for (size_t i = 0; i < 256; ++i) {
            ASSERT_EQ(packer->entries[i].nextCookie, 10 * (i + 1));
            ASSERT_EQ(packer->entries[i].name, "e" + std::to_string(i));
            ASSERT_EQ(packer->entries[i].itemID, 100 + i);
        }
    }
}
