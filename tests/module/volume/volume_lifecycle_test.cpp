#include "module/volume/BrindleVolume.h"
#include "platform/foundation/errno_table.h"
#include "tests/module/volume/volume_harness.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

using brindle::BrindleItem;
using brindle::BrindleVolume;
using foundation::Error;
using volumetest::itemRecord;
using volumetest::ScriptedVolume;
namespace darwin = foundation::darwin;

namespace {

using Activation = std::pair<std::shared_ptr<BrindleItem>, std::optional<Error>>;

std::shared_ptr<rpctest::Await<Activation>> activate(BrindleVolume& volume) {
    auto out = std::make_shared<rpctest::Await<Activation>>();
    volume.activateWithOptions({}, [out](std::shared_ptr<BrindleItem> root, std::optional<Error> error) {
        out->set({std::move(root), std::move(error)});
    });
    return out;
}

// Runs the statistics getter on its own thread while the test plays the server.
std::future<fskit::FSStatFSResult> statistics(BrindleVolume& volume) {
    return std::async(std::launch::async, [&volume] { return volume.volumeStatistics(); });
}

}  // namespace

TEST(VolumeConstructionTest, NamesItselfAfterTheSessionOrOrvelAndGetsAFreshIdentifierEachTime) {
    ScriptedVolume named;
    EXPECT_EQ(named.volume->name().string(), "test");
    ScriptedVolume unnamed({.volumeName = ""});
    EXPECT_EQ(unnamed.volume->name().string(), "orvel");
    const auto again = BrindleVolume::initWithSession(named.session, named.client, false);
    EXPECT_FALSE(again->volumeID() == named.volume->volumeID());
}

TEST(VolumeConstructionTest, DeclaresSettingPermissionsUnsupportedOnlyWhenReadOnly) {
    ScriptedVolume writable;
    ScriptedVolume readonly({.readonly = true});
    EXPECT_FALSE(writable.volume->supportedVolumeCapabilities().doesNotSupportSettingFilePermissions);
    EXPECT_TRUE(readonly.volume->supportedVolumeCapabilities().doesNotSupportSettingFilePermissions);
    EXPECT_TRUE(readonly.volume->isReadonlyVolume());
    EXPECT_FALSE(writable.volume->supportedVolumeCapabilities().supportsHardLinks);
}

TEST(VolumeActivationTest, PingsThenTakesTheServersRootAttributesOntoTheSameRootItem) {
    ScriptedVolume scripted;
    const auto root = scripted.volume->rootItem();
    for (int round = 0; round < 2; ++round) {
        auto out = activate(*scripted.volume);
        scripted.serve("ping", {{"ok", true}});
        auto record = itemRecord(1, 1, "", "directory", 0700 + round);
        record.erase("name");
        scripted.serve("get_root_attributes", {{"ok", true}, {"root_attrs", record}});
        const auto result = out->get();
        ASSERT_TRUE(result);
        EXPECT_EQ(result->first, root);
        EXPECT_FALSE(result->second);
        EXPECT_EQ(root->mode, 0700u + round);
        EXPECT_EQ(root->name, "/");
    }
    EXPECT_EQ(scripted.volume->trackedItemForNodeID(1), root);
}

TEST(VolumeActivationTest, AFailedPingOrRootFetchRepliesItsErrorAndLeavesTheRootAsItWas) {
    ScriptedVolume scripted;
    testsupport::LogCapture log;
    auto failedPing = activate(*scripted.volume);
    scripted.serve("ping", {{"ok", false}, {"errno", darwin::eacces}, {"error", "go away"}});
    auto result = failedPing->get();
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->first);
    EXPECT_TRUE(result->second->isPosix(darwin::eacces));
    EXPECT_TRUE(log.sink().contains("orvel: activateWithOptions ping failed error="));

    auto failedRoot = activate(*scripted.volume);
    scripted.serve("ping", {{"ok", true}});
    scripted.serve("get_root_attributes", {{"ok", false}, {"errno", darwin::enoent}});
    result = failedRoot->get();
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->first);
    EXPECT_TRUE(result->second->isPosix(darwin::enoent));
    EXPECT_TRUE(log.sink().contains("orvel: activateWithOptions root attribute fetch failed error="));
    EXPECT_EQ(scripted.volume->rootItem()->mode, 0755u);
}

TEST(VolumeActivationTest, ARootWithAnotherIdNoLongerAnswersForId1) {
    ScriptedVolume scripted;
    const auto root = scripted.volume->rootItem();
    auto out = activate(*scripted.volume);
    scripted.serve("ping", {{"ok", true}});
    scripted.serve("get_root_attributes", {{"ok", true}, {"root_attrs", itemRecord(40, 40, "/", "directory")}});
    ASSERT_TRUE(out->get());
    EXPECT_EQ(scripted.volume->trackedItemForNodeID(40), root);
    EXPECT_EQ(scripted.volume->trackedItemForNodeID(1), nullptr);

    // A node the server calls 1 is its own item; the root keeps its records.
    auto other = std::make_shared<BrindleItem>();
    other->nodeID = 1;
    other->name = "one";
    other->itemType = brindle::ItemType::File;
    EXPECT_EQ(scripted.volume->canonicalItemForItem(other), other);
    EXPECT_EQ(root->name, "/");
    EXPECT_EQ(root->nodeID, 40u);
}

TEST(VolumeActivationTest, AfterUnmountOrDeactivationActivationFailsWithTheClientsCancellation) {
    for (const bool unmount : {true, false}) {
        ScriptedVolume scripted;
        const auto root = scripted.volume->rootItem();
        root->directoryHandleID = 9;
        if (unmount) {
            bool replied = false;
            scripted.volume->unmountWithReplyHandler([&] { replied = true; });
            EXPECT_TRUE(replied);
        } else {
            std::optional<Error> error = Error::posix(1);
            scripted.volume->deactivateWithOptions(0, [&](std::optional<Error> e) { error = e; });
            EXPECT_FALSE(error);
        }
        EXPECT_TRUE(scripted.volume->snapshotTrackedItems().empty());
        EXPECT_EQ(root->directoryHandleID, 0u);
        const auto result = activate(*scripted.volume)->get();
        ASSERT_TRUE(result);
        ASSERT_TRUE(result->second);
        EXPECT_TRUE(result->second->isPosix(darwin::ecanceled));
    }
}

TEST(VolumeSynchronizeTest, PassesTheFlagsAndTurnsAnUnexplainedFailureIntoEIO) {
    ScriptedVolume scripted;
    for (const bool succeed : {true, false}) {
        auto out = std::make_shared<rpctest::Await<std::optional<Error>>>();
        scripted.volume->synchronizeWithFlags(2, [out](std::optional<Error> error) { out->set(error); });
        const auto frame = scripted.serve("synchronize", {{"ok", succeed}});
        EXPECT_EQ(frame.json.at("sync_flags").as_int64(), 2);
        const auto error = out->get();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->has_value(), !succeed);
        if (!succeed) {
            EXPECT_TRUE((*error)->isPosix(darwin::eio));
        }
    }
}

TEST(VolumeStatisticsTest, ScalesBlocksToBytesAndGuardsAgainstOddCounts) {
    ScriptedVolume scripted;
    auto pending = statistics(*scripted.volume);
    scripted.serve("statfs", {{"ok", true}, {"block_size", 4096}, {"io_size", 65536}, {"blocks", 100},
                              {"free_blocks", 40}, {"available_blocks", 30}, {"files", 10}, {"free_files", 4}});
    auto result = pending.get();
    EXPECT_EQ(result.fileSystemTypeName, "orvel");
    EXPECT_EQ(result.blockSize, 4096u);
    EXPECT_EQ(result.ioSize, 65536u);
    EXPECT_EQ(result.totalBytes, 409600u);
    EXPECT_EQ(result.availableBytes, 122880u);
    EXPECT_EQ(result.freeBytes, 163840u);
    EXPECT_EQ(result.usedBlocks, 60u);
    EXPECT_EQ(result.usedBytes, 245760u);
    EXPECT_EQ(result.totalFiles, 10u);
    EXPECT_EQ(result.freeFiles, 4u);

    pending = statistics(*scripted.volume);
    scripted.serve("statfs", {{"ok", true}, {"block_size", 0}, {"blocks", 5}, {"free_blocks", 9}, {"files", 3}});
    result = pending.get();
    EXPECT_EQ(result.blockSize, 0u);
    EXPECT_EQ(result.totalBytes, 0u);
    EXPECT_EQ(result.freeBytes, 0u);
    EXPECT_EQ(result.totalBlocks, 5u);
    EXPECT_EQ(result.freeBlocks, 9u);
    EXPECT_EQ(result.usedBlocks, 0u);
    EXPECT_EQ(result.totalFiles, 3u);

    pending = statistics(*scripted.volume);
    scripted.serve("statfs", {{"ok", true}, {"block_size", UINT64_MAX}, {"io_size", UINT64_MAX}, {"blocks", 1}});
    result = pending.get();
    EXPECT_EQ(result.blockSize, static_cast<uint64_t>(INT64_MAX));
    EXPECT_EQ(result.ioSize, static_cast<uint64_t>(INT64_MAX));
    EXPECT_EQ(result.totalBytes, UINT64_MAX);
}

TEST(VolumeStatisticsTest, AFailureGivesZeroCountsAndALogLine) {
    ScriptedVolume scripted;
    testsupport::LogCapture log;
    auto pending = statistics(*scripted.volume);
    scripted.serve("statfs", {{"ok", false}, {"errno", darwin::eio}});
    const auto result = pending.get();
    EXPECT_EQ(result.fileSystemTypeName, "orvel");
    EXPECT_EQ(result.totalBlocks, 0u);
    EXPECT_TRUE(log.sink().containsAt(logging::Level::Error, "orvel: statfs rpc failed error="));
}

TEST(VolumeStatisticsTest, GivesUpAfterFiveSecondsAndALateReplyIsHarmless) {
    ScriptedVolume scripted;
    const auto started = std::chrono::steady_clock::now();
    auto pending = statistics(*scripted.volume);
    const auto request = scripted.expect("statfs");
    const auto result = pending.get();
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    EXPECT_LT(waited, std::chrono::seconds(8));
    EXPECT_EQ(result.totalBlocks, 0u);

    scripted.peer->replyTo(request, {{"ok", true}, {"block_size", 512}, {"blocks", 7}});
    // The client stays usable: the next request is answered normally.
    auto next = statistics(*scripted.volume);
    scripted.serve("statfs", {{"ok", true}, {"block_size", 512}, {"blocks", 8}});
    EXPECT_EQ(next.get().totalBlocks, 8u);
}
