#include "module/volume/BrindleVolume.h"
#include "platform/foundation/errno_table.h"
#include "tests/module/volume/volume_harness.h"

#include <gtest/gtest.h>

using brindle::BrindleItem;
using brindle::BrindleVolume;
using brindle::ItemType;
using foundation::Error;
using fskit::FSItemAttributes;
using fskit::FSItemSetAttributesRequest;
using volumetest::itemRecord;
using volumetest::ScriptedVolume;
namespace darwin = foundation::darwin;

namespace {

using Attributes = std::pair<std::optional<FSItemAttributes>, std::optional<Error>>;

std::shared_ptr<BrindleItem> trackedFile(BrindleVolume& volume, uint64_t nodeID, uint32_t mode = 0644) {
    auto item = std::make_shared<BrindleItem>();
    item->nodeID = nodeID;
    item->parentNodeID = 1;
    item->name = "file" + std::to_string(nodeID);
    item->itemType = ItemType::File;
    item->mode = mode;
    item->linkCount = 1;
    item->size = 10;
    item->birthTime = {100, 7};
    return volume.canonicalItemForItem(item);
}

auto collect(std::shared_ptr<rpctest::Await<Attributes>> out) {
    return [out](std::optional<FSItemAttributes> attributes, std::optional<Error> error) {
        out->set({std::move(attributes), std::move(error)});
    };
}

Attributes setAttributes(ScriptedVolume& scripted, const std::shared_ptr<FSItemSetAttributesRequest>& request,
                         const std::shared_ptr<BrindleItem>& item) {
    auto out = std::make_shared<rpctest::Await<Attributes>>();
    scripted.volume->setAttributes(request, item, collect(out));
    return *out->get();
}

}  // namespace

TEST(VolumeAttributesTest, ReportsOnlyTheWantedAttributesWithDerivedValues) {
    BrindleItem item;
    item.itemType = ItemType::SymbolicLink;
    item.mode = 0750;
    item.birthTime = {55, 5};
    item.size = 3;
    const auto onlySize = BrindleVolume::attributesForItem(item, fskit::FSItemGetAttributesRequest(fskit::FSItemAttributeSize));
    EXPECT_EQ(onlySize.size, 3u);
    EXPECT_FALSE(onlySize.mode);
    EXPECT_FALSE(onlySize.type);

    const auto all = BrindleVolume::attributesForItem(item, std::nullopt);
    EXPECT_EQ(all.mode, 0750u);
    EXPECT_EQ(all.flags, 0u);
    EXPECT_EQ(all.backupTime->tv_sec, 55);
    EXPECT_EQ(all.addedTime->tv_nsec, 5);
    EXPECT_EQ(all.supportsLimitedXAttrs, false);
    EXPECT_EQ(all.type, static_cast<int64_t>(ItemType::SymbolicLink));
}

// The kernel's attribute timeout decides how long attributes may be reused; whenever it asks, the
// server's current record answers, or a change behind the mount would never show.
TEST(VolumeAttributesTest, GetAsksTheServerEveryTimeAndRefusesForeignItems) {
    ScriptedVolume scripted;
    auto foreign = std::make_shared<fskit::FSItem>();
    auto refused = std::make_shared<rpctest::Await<Attributes>>();
    scripted.volume->getAttributes(fskit::FSItemGetAttributesRequest(~0ull), foreign, collect(refused));
    EXPECT_TRUE(refused->get()->second->isPosix(darwin::enoent));

    auto file = trackedFile(*scripted.volume, 8);
    for (const uint64_t size : {4242u, 17u}) {
        auto fetched = std::make_shared<rpctest::Await<Attributes>>();
        scripted.volume->getAttributes(fskit::FSItemGetAttributesRequest(fskit::FSItemAttributeSize), file,
                                       collect(fetched));
        const auto frame = scripted.serve(
            "get_attributes", {{"ok", true}, {"item_attrs", itemRecord(8, 1, "file8", "file", 0600, size)}});
        EXPECT_EQ(frame.json.at("name").as_string(), "file8");
        EXPECT_EQ(fetched->get()->first->size, size);
        EXPECT_EQ(file->size, size);
    }

    auto failed = std::make_shared<rpctest::Await<Attributes>>();
    scripted.volume->getAttributes(fskit::FSItemGetAttributesRequest(1), file, collect(failed));
    scripted.serve("get_attributes", {{"ok", false}, {"errno", darwin::enoent}});
    EXPECT_TRUE(failed->get()->second->isPosix(darwin::enoent));
    EXPECT_EQ(file->size, 17u);
}

TEST(VolumeAttributesTest, SetChecksRunInOrderAndSendNothingWhenTheyFail) {
    ScriptedVolume readonly({.readonly = true});
    auto request = std::make_shared<FSItemSetAttributesRequest>();
    request->type = 1;  // refused later too; read-only decides first
    EXPECT_TRUE(setAttributes(readonly, request, trackedFile(*readonly.volume, 5)).second->isPosix(darwin::erofs));

    ScriptedVolume scripted;
    const auto file = trackedFile(*scripted.volume, 5);
    EXPECT_TRUE(setAttributes(scripted, request, nullptr).second->isPosix(darwin::enoent));

    request = std::make_shared<FSItemSetAttributesRequest>();
    request->mode = 0600;
    request->changeTime = timespec{1, 1};
    EXPECT_TRUE(setAttributes(scripted, request, file).second->isPosix(darwin::einval));

    request = std::make_shared<FSItemSetAttributesRequest>();
    EXPECT_TRUE(setAttributes(scripted, request, file).second->isPosix(darwin::einval));

    request = std::make_shared<FSItemSetAttributesRequest>();
    request->size = 0;
    EXPECT_TRUE(setAttributes(scripted, request, scripted.volume->rootItem()).second->isPosix(darwin::eperm));
    EXPECT_EQ(request->consumedAttributes, 0u);
    EXPECT_TRUE(scripted.quiet());

    request = std::make_shared<FSItemSetAttributesRequest>();
    request->birthTime = timespec{9, 9};
    const auto unchanged = setAttributes(scripted, request, file);
    EXPECT_FALSE(unchanged.second);
    EXPECT_EQ(unchanged.first->mode, 0644u);
    EXPECT_EQ(request->consumedAttributes, 0u);
    EXPECT_TRUE(scripted.quiet());
}

TEST(VolumeAttributesTest, SetSendsMaskedValuesConsumesWhatWasSentAndCancelsAPendingMode) {
    ScriptedVolume scripted;
    const auto file = trackedFile(*scripted.volume, 5, 0444);
    file->hasPendingFinalMode = true;
    file->pendingFinalMode = 0444;

    auto request = std::make_shared<FSItemSetAttributesRequest>();
    request->mode = 04755;
    request->size = 99;
    request->modifyTime = timespec{1234, 5678};
    request->birthTime = timespec{1, 2};
    auto out = std::make_shared<rpctest::Await<Attributes>>();
    scripted.volume->setAttributes(request, file, collect(out));
    const auto frame = scripted.serve("set_attributes", {{"ok", true}, {"item_attrs", itemRecord(5, 1, "file5", "file", 0755, 99)}});
    EXPECT_EQ(frame.json.at("set_mode").as_int64(), 0755);
    EXPECT_EQ(frame.json.at("set_size").as_int64(), 99);
    EXPECT_EQ(frame.json.at("set_modify_time_sec").as_int64(), 1234);
    EXPECT_EQ(frame.json.at("set_modify_time_nsec").as_int64(), 5678);
    EXPECT_FALSE(frame.json.contains("set_birth_time_sec"));
    EXPECT_FALSE(frame.json.contains("set_uid"));
    const auto result = out->get();
    ASSERT_TRUE(result->first);
    EXPECT_EQ(result->first->mode, 0755u);
    EXPECT_EQ(request->consumedAttributes, fskit::FSItemAttributeMode | fskit::FSItemAttributeSize |
                                               fskit::FSItemAttributeAllocSize | fskit::FSItemAttributeModifyTime);
    EXPECT_FALSE(file->hasPendingFinalMode);
    EXPECT_EQ(file->pendingFinalMode, 0u);
}

TEST(VolumeAttributesTest, AFailedSetLeavesTheItemAndTheConsumedBitsAlone) {
    ScriptedVolume scripted;
    const auto file = trackedFile(*scripted.volume, 5, 0444);
    file->hasPendingFinalMode = true;
    file->pendingFinalMode = 0444;
    auto request = std::make_shared<FSItemSetAttributesRequest>();
    request->mode = 0600;
    auto out = std::make_shared<rpctest::Await<Attributes>>();
    scripted.volume->setAttributes(request, file, collect(out));
    scripted.serve("set_attributes", {{"ok", false}});
    EXPECT_TRUE(out->get()->second->isPosix(darwin::eio));
    EXPECT_EQ(request->consumedAttributes, 0u);
    EXPECT_TRUE(file->hasPendingFinalMode);
    EXPECT_EQ(file->mode, 0444u);
}

TEST(VolumeAttributesTest, AReplyAfterTheVolumeIsGoneIsEIO) {
    ScriptedVolume scripted;
    const auto file = trackedFile(*scripted.volume, 5);
    auto request = std::make_shared<FSItemSetAttributesRequest>();
    request->uid = 7;
    auto out = std::make_shared<rpctest::Await<Attributes>>();
    scripted.volume->setAttributes(request, file, collect(out));
    const auto frame = scripted.expect("set_attributes");
    scripted.volume.reset();
    scripted.peer->replyTo(frame, {{"ok", true}, {"item_attrs", itemRecord(5, 1, "file5", "file")}});
    EXPECT_TRUE(out->get()->second->isPosix(darwin::eio));
    EXPECT_EQ(request->consumedAttributes, 0u);
}

TEST(VolumeAttributesTest, TheLocalApplyStoresGivenValuesAndRefusesSizeOnANonFileAfterStoringTheRest) {
    auto directory = std::make_shared<BrindleItem>();
    auto request = std::make_shared<FSItemSetAttributesRequest>();
    request->mode = 01777;
    request->uid = 33;
    request->size = 5;
    request->fileID = 3;  // ignored when the item is new
    std::optional<Error> error;
    BrindleVolume::applySetAttributesRequest(request, directory, true,
                                             [&](std::optional<FSItemAttributes>, std::optional<Error> e) { error = e; });
    EXPECT_TRUE(error->isPosix(darwin::eperm));
    EXPECT_EQ(directory->mode, 0777u);
    EXPECT_EQ(directory->uid, 33u);
    EXPECT_EQ(request->consumedAttributes, fskit::FSItemAttributeMode | fskit::FSItemAttributeUID);

    BrindleVolume::applySetAttributesRequest(request, directory, false,
                                             [&](std::optional<FSItemAttributes>, std::optional<Error> e) { error = e; });
    EXPECT_TRUE(error->isPosix(darwin::einval));

    auto file = std::make_shared<BrindleItem>();
    file->itemType = ItemType::File;
    request = std::make_shared<FSItemSetAttributesRequest>();
    request->size = 5;
    std::optional<FSItemAttributes> attributes;
    BrindleVolume::applySetAttributesRequest(request, file, false,
                                             [&](std::optional<FSItemAttributes> a, std::optional<Error>) { attributes = a; });
    EXPECT_EQ(attributes->allocSize, 5u);
    EXPECT_EQ(request->consumedAttributes, fskit::FSItemAttributeSize | fskit::FSItemAttributeAllocSize);
}

TEST(VolumeModeTest, AModeTheServerReportsIsTheModeEvenWhenItIsZero) {
    ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    // chmod 000 must keep everyone out: a reported 0 is not "no mode".
    const std::pair<const char*, uint64_t> records[] = {{"file", 8}, {"directory", 9}, {"symlink", 10}};
    for (const auto& [type, nodeID] : records) {
        auto looked = std::make_shared<rpctest::Await<BrindleVolume::ItemPtr>>();
        volume.lookupItemNamed(fskit::FSFileName::nameWithString("n"), volume.rootItem(),
                               [looked](auto item, auto, auto) { looked->set(item); });
        scripted.serve("lookup", {{"ok", true}, {"lookup_item", itemRecord(nodeID, 1, "n", type, 0)}});
        const auto item = *looked->get();
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(BrindleVolume::attributesForItem(*item, std::nullopt).mode, 0u) << type;
    }

    // A record without the attribute set has no mode at all: its type's default stands in until
    // the attributes are fetched.
    auto looked = std::make_shared<rpctest::Await<BrindleVolume::ItemPtr>>();
    volume.lookupItemNamed(fskit::FSFileName::nameWithString("bare"), volume.rootItem(),
                           [looked](auto item, auto, auto) { looked->set(item); });
    const boost::json::object bareRecord{{"node_id", 11}, {"parent_id", 1}, {"name", "bare"}, {"type", "directory"}};
    scripted.serve("lookup", {{"ok", true}, {"lookup_item", bareRecord}});
    const auto bare = *looked->get();
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(BrindleVolume::attributesForItem(*bare, std::nullopt).mode, 0755u);
    EXPECT_FALSE(bare->attributesLoaded);
}

// cp --preserve=timestamps of a 0444 file: create, write, set the times, close. Every refresh in
// between brings the server's 0644; the file must still end 0444.
TEST(VolumeModeTest, APendingFinalModeSurvivesEveryRefreshUntilTheLastCloseAppliesIt) {
    ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    auto readOnly = std::make_shared<FSItemSetAttributesRequest>();
    readOnly->mode = 0444;
    auto created = std::make_shared<rpctest::Await<BrindleVolume::ItemPtr>>();
    volume.createItemNamed(fskit::FSFileName::nameWithString("copy"), 1, volume.rootItem(), readOnly,
                           [created](auto item, auto, auto) { created->set(item); });
    scripted.serve("create_file", {{"ok", true}, {"item_attrs", itemRecord(7, 1, "copy", "file", 0644)}});
    const auto file = *created->get();
    ASSERT_NE(file, nullptr);
    const auto stillPending = [&](const char* after) {
        std::lock_guard fields(file->fieldsMutex);
        EXPECT_TRUE(file->hasPendingFinalMode) << after;
        EXPECT_EQ(file->pendingFinalMode, 0444u) << after;
    };
    const auto reportedMode = [&] { return BrindleVolume::attributesForItem(*file, std::nullopt).mode; };

    auto looked = std::make_shared<rpctest::Await<BrindleVolume::ItemPtr>>();
    volume.lookupItemNamed(fskit::FSFileName::nameWithString("copy"), volume.rootItem(),
                           [looked](auto item, auto, auto) { looked->set(item); });
    scripted.serve("lookup", {{"ok", true}, {"lookup_item", itemRecord(7, 1, "copy", "file", 0644)}});
    EXPECT_EQ(*looked->get(), file);
    stillPending("a lookup");
    EXPECT_EQ(reportedMode(), 0444u);

    auto entry = itemRecord(7, 1, "copy", "file", 0644);
    entry["next_cookie"] = 1;
    const auto root = volume.rootItem();
    auto opened = std::make_shared<rpctest::Await<std::optional<Error>>>();
    volume.openDirectoryItem(root, [opened](auto, std::optional<Error> e) { opened->set(e); });
    scripted.serve("open_directory", {{"ok", true}, {"handle_id", 3}});
    ASSERT_FALSE(*opened->get());
    auto packer = std::make_shared<volumetest::RecordingPacker>();
    auto listed = std::make_shared<rpctest::Await<uint64_t>>();
    volume.enumerateDirectory(root, 0, 0, fskit::FSItemGetAttributesRequest(~0ull), packer,
                              [listed](uint64_t verifier, auto) { listed->set(verifier); });
    scripted.serve("enumerate_directory", {{"ok", true}, {"dir_items", boost::json::array{entry}}});
    ASSERT_TRUE(listed->get());
    ASSERT_EQ(packer->entries.size(), 1u);
    EXPECT_EQ(packer->entries[0].attributes->mode, 0444u);
    stillPending("a listing");

    auto times = std::make_shared<FSItemSetAttributesRequest>();
    times->modifyTime = timespec{1000, 0};
    auto timed = std::make_shared<rpctest::Await<Attributes>>();
    volume.setAttributes(times, file, collect(timed));
    scripted.serve("set_attributes", {{"ok", true}, {"item_attrs", itemRecord(7, 1, "copy", "file", 0644)}});
    EXPECT_EQ(timed->get()->first->mode, 0444u);
    stillPending("a times-only change");

    file->attributesLoaded = false;
    auto fetched = std::make_shared<rpctest::Await<Attributes>>();
    volume.getAttributes(fskit::FSItemGetAttributesRequest(~0ull), file, collect(fetched));
    scripted.serve("get_attributes", {{"ok", true}, {"item_attrs", itemRecord(7, 1, "copy", "file", 0644)}});
    EXPECT_EQ(fetched->get()->first->mode, 0444u);
    stillPending("an attribute fetch");

    auto closed = std::make_shared<rpctest::Await<std::optional<Error>>>();
    volume.closeItem(file, 0, [closed](std::optional<Error> e) { closed->set(e); });
    const auto applied =
        scripted.serve("set_attributes", {{"ok", true}, {"item_attrs", itemRecord(7, 1, "copy", "file", 0444)}});
    EXPECT_EQ(applied.json.at("set_mode").to_number<int>(), 0444);
    scripted.serve("close", {{"ok", true}});
    EXPECT_FALSE(*closed->get());
    EXPECT_FALSE(file->hasPendingFinalMode);
    EXPECT_EQ(reportedMode(), 0444u);
}

// A mode set on the export while the new file is open is the newer word: the mode the file was
// created with must not come back over it at the last close.
TEST(VolumeModeTest, AModeChangedBehindTheMountCancelsThePendingFinalMode) {
    ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    auto readOnly = std::make_shared<FSItemSetAttributesRequest>();
    readOnly->mode = 0444;
    auto created = std::make_shared<rpctest::Await<BrindleVolume::ItemPtr>>();
    volume.createItemNamed(fskit::FSFileName::nameWithString("new"), 1, volume.rootItem(), readOnly,
                           [created](auto item, auto, auto) { created->set(item); });
    scripted.serve("create_file", {{"ok", true}, {"item_attrs", itemRecord(7, 1, "new", "file", 0644)}});
    const auto file = *created->get();
    ASSERT_NE(file, nullptr);

    auto fetched = std::make_shared<rpctest::Await<Attributes>>();
    volume.getAttributes(fskit::FSItemGetAttributesRequest(~0ull), file, collect(fetched));
    scripted.serve("get_attributes", {{"ok", true}, {"item_attrs", itemRecord(7, 1, "new", "file", 0600)}});
    EXPECT_EQ(fetched->get()->first->mode, 0600u);

    auto closed = std::make_shared<rpctest::Await<std::optional<Error>>>();
    volume.closeItem(file, 0, [closed](std::optional<Error> e) { closed->set(e); });
    scripted.serve("close", {{"ok", true}});
    EXPECT_FALSE(*closed->get());
    EXPECT_TRUE(scripted.quiet());
}
