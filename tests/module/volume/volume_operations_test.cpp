#include "module/volume/BrindleVolume.h"
#include "tests/module/volume/volume_harness.h"

#include <gtest/gtest.h>

using brindle::BrindleItem;
using brindle::BrindleVolume;
using brindle::ItemType;
using fskit::FSFileName;

namespace {

using ErrorAwait = rpctest::Await<std::optional<int>>;

std::optional<int> codeOf(const std::optional<foundation::Error>& error) {
    return error ? std::optional<int>(error->code()) : std::nullopt;
}

std::shared_ptr<BrindleItem> itemFor(uint64_t nodeID, ItemType type, uint64_t parentID = 1,
                                     const std::string& name = "f") {
    auto item = std::make_shared<BrindleItem>();
    item->nodeID = nodeID;
    item->parentNodeID = parentID;
    item->itemType = type;
    item->name = name;
    return item;
}

BrindleVolume::ErrorReply errorInto(const std::shared_ptr<ErrorAwait>& await) {
    return [await](std::optional<foundation::Error> error) { await->set(codeOf(error)); };
}

std::optional<int> createCode(BrindleVolume& volume, int64_t type, const BrindleVolume::FSItemPtr& directory,
                              const std::string& name = "n") {
    auto done = std::make_shared<ErrorAwait>();
    volume.createItemNamed(FSFileName::nameWithString(name), type, directory, nullptr,
                           [done](auto, auto, std::optional<foundation::Error> error) { done->set(codeOf(error)); });
    return *done->get();
}

}  // namespace

TEST(NamespaceChecksTest, ReadOnlyComesBeforeTypeAndNameChecks) {
    volumetest::ScriptedVolume scripted({.readonly = true});
    auto file = itemFor(5, ItemType::File);
    EXPECT_EQ(createCode(*scripted.volume, 1, file, ""), 30);
    auto removed = std::make_shared<ErrorAwait>();
    scripted.volume->removeItem(file, FSFileName::nameWithString(""), file, errorInto(removed));
    EXPECT_EQ(*removed->get(), 30);
    EXPECT_TRUE(scripted.quiet());
}

TEST(NamespaceChecksTest, NotADirectoryComesBeforeAnEmptyName) {
    volumetest::ScriptedVolume scripted;
    auto file = itemFor(5, ItemType::File);
    EXPECT_EQ(createCode(*scripted.volume, 1, file, ""), 20);
    EXPECT_EQ(createCode(*scripted.volume, 1, scripted.volume->rootItem(), ""), 22);
    auto looked = std::make_shared<ErrorAwait>();
    scripted.volume->lookupItemNamed(FSFileName::nameWithString(""), scripted.volume->rootItem(),
                                     [looked](auto, auto, auto error) { looked->set(codeOf(error)); });
    EXPECT_EQ(*looked->get(), 22);
    EXPECT_TRUE(scripted.quiet());
}

// The wire is UTF-8 JSON: a name that is not UTF-8 cannot be sent, and is refused with EILSEQ by
// every operation that would send one, before anything reaches the server.
TEST(NamespaceChecksTest, NamesThatAreNotUTF8AreRefusedWithEILSEQ) {
    volumetest::ScriptedVolume scripted({.namedattr = true});
    BrindleVolume& volume = *scripted.volume;
    const auto root = volume.rootItem();
    const auto bad = FSFileName::nameWithBytes("caf\xe9");
    const auto good = FSFileName::nameWithString("ok");
    const auto file = itemFor(7, ItemType::File);
    std::vector<std::pair<std::string, std::shared_ptr<ErrorAwait>>> refusals;
    const auto expectRefusal = [&](const std::string& operation) {
        refusals.emplace_back(operation, std::make_shared<ErrorAwait>());
        return refusals.back().second;
    };
    const auto itemNameReply = [](const std::shared_ptr<ErrorAwait>& await) {
        return [await](auto, auto, std::optional<foundation::Error> error) { await->set(codeOf(error)); };
    };
    const auto nameReply = [](const std::shared_ptr<ErrorAwait>& await) {
        return [await](auto, std::optional<foundation::Error> error) { await->set(codeOf(error)); };
    };

    volume.lookupItemNamed(bad, root, itemNameReply(expectRefusal("lookup")));
    volume.createItemNamed(bad, 1, root, nullptr, itemNameReply(expectRefusal("create file")));
    volume.createItemNamed(bad, 2, root, nullptr, itemNameReply(expectRefusal("create directory")));
    volume.createSymbolicLinkNamed(bad, root, nullptr, good, itemNameReply(expectRefusal("symlink name")));
    volume.createSymbolicLinkNamed(good, root, nullptr, bad, itemNameReply(expectRefusal("symlink contents")));
    volume.removeItem(file, bad, root, errorInto(expectRefusal("remove")));
    volume.renameItem(file, root, bad, good, root, nullptr, nameReply(expectRefusal("rename source")));
    volume.renameItem(file, root, good, bad, root, nullptr, nameReply(expectRefusal("rename destination")));
    volume.getXattrNamed(bad, file, nameReply(expectRefusal("get xattr")));
    volume.setXattrNamed(bad, "v", file, BrindleVolume::xattrPolicyAlwaysSet, errorInto(expectRefusal("set xattr")));
    volume.setXattrNamed(bad, std::nullopt, file, BrindleVolume::xattrPolicyDelete,
                         errorInto(expectRefusal("remove xattr")));
    for (const auto& [operation, refusal] : refusals) EXPECT_EQ(*refusal->get(), 92) << operation;
    EXPECT_TRUE(scripted.quiet());
}

TEST(NamespaceChecksTest, HardLinksAreRefusedBeforeAnythingElse) {
    volumetest::ScriptedVolume scripted({.readonly = true});
    auto done = std::make_shared<ErrorAwait>();
    scripted.volume->createLinkToItem(nullptr, FSFileName::nameWithString(""), nullptr,
                                      [done](auto, auto error) { done->set(codeOf(error)); });
    EXPECT_EQ(*done->get(), 45);
}

TEST(NamespaceChecksTest, ItemsThatAreNotTheModulesAreRefusedWithoutCrashing) {
    volumetest::ScriptedVolume scripted;
    auto foreign = std::make_shared<fskit::FSItem>();
    EXPECT_EQ(createCode(*scripted.volume, 1, foreign), 20);
    auto read = std::make_shared<ErrorAwait>();
    scripted.volume->readFromFile(foreign, 0, 4, std::make_shared<fskit::FSMutableFileDataBuffer>(4),
                                  [read](uint64_t, auto error) { read->set(codeOf(error)); });
    EXPECT_EQ(*read->get(), 21);
}

TEST(NamespaceCreationTest, ModesFollowTheCreationRules) {
    volumetest::ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    auto readOnlyFile = std::make_shared<fskit::FSItemSetAttributesRequest>();
    readOnlyFile->mode = 0444;
    auto created = std::make_shared<rpctest::Await<BrindleVolume::ItemPtr>>();
    volume.createItemNamed(FSFileName::nameWithString("f"), 1, volume.rootItem(), readOnlyFile,
                           [created](auto item, auto, auto) { created->set(item); });
    auto frame = scripted.expect("create_file");
    EXPECT_EQ(frame.json.at("mode").to_number<int>(), 0644);
    scripted.peer->replyTo(frame, {{"ok", true}, {"item_attrs", volumetest::itemRecord(7, 1, "f", "file", 0644)}});
    auto item = *created->get();
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->hasPendingFinalMode);
    EXPECT_EQ(item->pendingFinalMode, 0444u);
    EXPECT_EQ(BrindleVolume::attributesForItem(*item, std::nullopt).mode, 0444u);
    EXPECT_EQ(item->mode, 0644u);  // the server's, until the last close
    EXPECT_EQ(volume.trackedItemForNodeID(7), item);

    // mkdir with mode 0 makes a directory nobody but root may enter, as on a local file system.
    auto zeroDirectory = std::make_shared<fskit::FSItemSetAttributesRequest>();
    zeroDirectory->mode = 0;
    auto closedDirectory = std::make_shared<rpctest::Await<BrindleVolume::ItemPtr>>();
    volume.createItemNamed(FSFileName::nameWithString("d"), 2, volume.rootItem(), zeroDirectory,
                           [closedDirectory](auto item, auto, auto) { closedDirectory->set(item); });
    frame = scripted.expect("create_directory");
    EXPECT_EQ(frame.json.at("mode").to_number<int>(), 0);
    scripted.peer->replyTo(frame,
                           {{"ok", true}, {"item_attrs", volumetest::itemRecord(8, 1, "d", "directory", 0)}});
    const auto directory = *closedDirectory->get();
    ASSERT_NE(directory, nullptr);
    EXPECT_EQ(BrindleVolume::attributesForItem(*directory, std::nullopt).mode, 0u);
    EXPECT_EQ(createCode(volume, 3, volume.rootItem()), 45);
    EXPECT_EQ(createCode(volume, 4, volume.rootItem()), 45);

    auto sticky = std::make_shared<fskit::FSItemSetAttributesRequest>();
    sticky->mode = 01777;
    volume.createItemNamed(FSFileName::nameWithString("d"), 2, volume.rootItem(), sticky, [](auto, auto, auto) {});
    EXPECT_EQ(scripted.expect("create_directory").json.at("mode").to_number<int>(), 0777);
}

TEST(NamespaceRemovalTest, NonDirectoriesAreRemovedAsFilesAndFailuresKeepTracking) {
    volumetest::ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    auto link = itemFor(9, ItemType::SymbolicLink);
    volume.trackItem(link);
    auto failed = std::make_shared<ErrorAwait>();
    volume.removeItem(link, FSFileName::nameWithString("l"), volume.rootItem(), errorInto(failed));
    scripted.serve("remove_file", {{"ok", false}, {"errno", 66}});
    EXPECT_EQ(*failed->get(), 66);
    EXPECT_EQ(volume.trackedItemForNodeID(9), link);

    auto removed = std::make_shared<ErrorAwait>();
    volume.removeItem(link, FSFileName::nameWithString("l"), volume.rootItem(), errorInto(removed));
    scripted.serve("remove_file", {{"ok", true}});
    EXPECT_EQ(*removed->get(), std::nullopt);
    EXPECT_EQ(volume.trackedItemForNodeID(9), nullptr);
}

TEST(NamespaceRenameTest, ARenameAcrossDirectoriesMovesTheItem) {
    volumetest::ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    auto target = itemFor(4, ItemType::Directory, 1, "t");
    auto moved = itemFor(8, ItemType::File, 1, "a");
    auto renamed = std::make_shared<rpctest::Await<std::optional<std::string>>>();
    volume.renameItem(moved, volume.rootItem(), FSFileName::nameWithString("a"), FSFileName::nameWithString("b"),
                      target, nullptr, [renamed](auto name, auto) { renamed->set(name ? name->string() : std::nullopt); });
    auto frame = scripted.serve("rename", {{"ok", true}});
    EXPECT_EQ(frame.json.at("new_parent_id").to_number<int>(), 4);
    EXPECT_EQ(*renamed->get(), std::optional<std::string>("b"));
    EXPECT_EQ(moved->name, "b");
    EXPECT_EQ(moved->parentNodeID, 4u);
    EXPECT_EQ(moved->nodeID, 8u);
}

TEST(ContentsTest, LinksOpenLocallyAndWritesOnReadOnlyVolumesAreRefused) {
    volumetest::ScriptedVolume scripted({.readonly = true});
    BrindleVolume& volume = *scripted.volume;
    auto link = itemFor(3, ItemType::SymbolicLink);
    auto opened = std::make_shared<ErrorAwait>();
    volume.openItem(link, BrindleVolume::openModeRead, errorInto(opened));
    EXPECT_EQ(*opened->get(), std::nullopt);
    auto writeOpen = std::make_shared<ErrorAwait>();
    volume.openItem(link, BrindleVolume::openModeWrite, errorInto(writeOpen));
    EXPECT_EQ(*writeOpen->get(), 30);
    EXPECT_TRUE(scripted.quiet());
}

TEST(ContentsTest, TheFinalModeIsSentOnceAtTheLastClose) {
    volumetest::ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    auto file = itemFor(7, ItemType::File);
    file->hasPendingFinalMode = true;
    file->pendingFinalMode = 0444;
    volume.trackItem(file);

    auto kept = std::make_shared<ErrorAwait>();
    volume.closeItem(file, BrindleVolume::openModeRead, errorInto(kept));
    scripted.serve("close", {{"ok", true}});
    EXPECT_EQ(*kept->get(), std::nullopt);
    EXPECT_TRUE(scripted.quiet());

    auto failed = std::make_shared<ErrorAwait>();
    volume.closeItem(file, 0, errorInto(failed));
    scripted.serve("set_attributes", {{"ok", false}, {"errno", 13}});
    scripted.serve("close", {{"ok", true}});
    EXPECT_EQ(*failed->get(), 13);
    EXPECT_TRUE(file->hasPendingFinalMode);

    auto last = std::make_shared<ErrorAwait>();
    volume.closeItem(file, 0, errorInto(last));
    // The mode goes while the server still holds the file open, so it reaches a renamed file too.
    auto frame = scripted.serve("set_attributes",
                                {{"ok", true}, {"item_attrs", volumetest::itemRecord(7, 1, "f", "file", 0444)}});
    EXPECT_EQ(frame.json.at("set_mode").to_number<int>(), 0444);
    scripted.serve("close", {{"ok", true}});
    EXPECT_EQ(*last->get(), std::nullopt);
    EXPECT_FALSE(file->hasPendingFinalMode);

    auto again = std::make_shared<ErrorAwait>();
    volume.closeItem(file, 0, errorInto(again));
    scripted.serve("close", {{"ok", true}});
    EXPECT_EQ(*again->get(), std::nullopt);
    EXPECT_TRUE(scripted.quiet());
}

TEST(ContentsTest, ReadsNeverOverrunTheBufferAndWritesGrowTheSize) {
    volumetest::ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    auto file = itemFor(7, ItemType::File);
    file->size = 1000;
    auto buffer = std::make_shared<fskit::FSMutableFileDataBuffer>(4);
    auto read = std::make_shared<rpctest::Await<uint64_t>>();
    volume.readFromFile(file, 0, 10, buffer, [read](uint64_t count, auto) { read->set(count); });
    scripted.serve("read", {{"ok", true}, {"payload_length", 10}}, "0123456789");
    EXPECT_EQ(*read->get(), 4u);
    EXPECT_EQ(std::string(static_cast<const char*>(buffer->bytes()), 4), "0123");

    auto wrote = std::make_shared<rpctest::Await<uint64_t>>();
    volume.writeContents(std::string(100, 'x'), file, 4000, [wrote](uint64_t count, auto) { wrote->set(count); });
    scripted.serve("write", {{"ok", true}, {"write_size", 100}});
    EXPECT_EQ(*wrote->get(), 100u);
    EXPECT_EQ(file->size, 4100u);
    EXPECT_EQ(file->allocSize, 4100u);

    auto small = std::make_shared<rpctest::Await<uint64_t>>();
    volume.writeContents(std::string(10, 'y'), file, 0, [small](uint64_t count, auto) { small->set(count); });
    scripted.serve("write", {{"ok", true}, {"write_size", 10}});
    EXPECT_EQ(*small->get(), 10u);
    EXPECT_EQ(file->size, 4100u);
}

TEST(XattrTest, PoliciesMapToFlagsAndRemoval) {
    volumetest::ScriptedVolume scripted({.namedattr = true});
    BrindleVolume& volume = *scripted.volume;
    EXPECT_FALSE(volume.xattrOperationsInhibited());
    auto file = itemFor(7, ItemType::File);
    const std::pair<uint64_t, int> flags[] = {{0, 0}, {1, 2}, {2, 4}};
    for (const auto& [policy, flag] : flags) {
        auto done = std::make_shared<ErrorAwait>();
        volume.setXattrNamed(FSFileName::nameWithString("user.a"), std::nullopt, file, policy, errorInto(done));
        auto frame = scripted.serve("set_xattr", {{"ok", true}});
        EXPECT_EQ(frame.json.at("xattr_flags").to_number<int>(), flag);
        EXPECT_EQ(frame.payload, "");
        EXPECT_EQ(*done->get(), std::nullopt);
    }
    auto removed = std::make_shared<ErrorAwait>();
    volume.setXattrNamed(FSFileName::nameWithString("user.a"), "v", file, 3, errorInto(removed));
    scripted.serve("remove_xattr", {{"ok", true}});
    EXPECT_EQ(*removed->get(), std::nullopt);
    auto unknown = std::make_shared<ErrorAwait>();
    volume.setXattrNamed(FSFileName::nameWithString("user.a"), "v", file, 7, errorInto(unknown));
    EXPECT_EQ(*unknown->get(), 22);
    EXPECT_TRUE(scripted.quiet());
}

TEST(XattrTest, InhibitedVolumesRefuseEverythingBeforeTheReadOnlyCheck) {
    volumetest::ScriptedVolume scripted({.readonly = true});
    BrindleVolume& volume = *scripted.volume;
    EXPECT_TRUE(volume.xattrOperationsInhibited());
    auto file = itemFor(7, ItemType::File);
    auto set = std::make_shared<ErrorAwait>();
    volume.setXattrNamed(FSFileName::nameWithString("user.a"), "v", file, 3, errorInto(set));
    EXPECT_EQ(*set->get(), 45);
    auto listed = std::make_shared<ErrorAwait>();
    volume.listXattrsOfItem(file, [listed](auto, auto error) { listed->set(codeOf(error)); });
    EXPECT_EQ(*listed->get(), 45);
    EXPECT_TRUE(scripted.quiet());
}

TEST(XattrTest, EmptyValuesAndEmptyListsAreResults) {
    volumetest::ScriptedVolume scripted({.readonly = true, .namedattr = true});
    BrindleVolume& volume = *scripted.volume;
    auto file = itemFor(7, ItemType::File);
    auto value = std::make_shared<rpctest::Await<std::optional<std::string>>>();
    volume.getXattrNamed(FSFileName::nameWithString("user.a"), file, [value](auto data, auto) { value->set(data); });
    scripted.serve("get_xattr", {{"ok", true}});
    EXPECT_EQ(*value->get(), std::optional<std::string>(""));
    auto names = std::make_shared<rpctest::Await<std::optional<size_t>>>();
    volume.listXattrsOfItem(file, [names](auto list, auto) {
        names->set(list ? std::optional<size_t>(list->size()) : std::nullopt);
    });
    scripted.serve("list_xattrs", {{"ok", true}, {"xattr_names", boost::json::array()}});
    EXPECT_EQ(*names->get(), std::optional<size_t>(0));
}

// A change in a directory changes its listing, its times and perhaps its link count: the listing's
// verifier moves on and the cached attributes no longer count as the server's.
TEST(NamespaceChangeTest, OnlySuccessfulChangesInvalidateTheDirectory) {
    volumetest::ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    auto root = volume.rootItem();
    auto other = itemFor(4, ItemType::Directory, 1, "other");
    volume.trackItem(other);
    struct State {
        uint64_t verifier;
        bool loaded;
    };
    const auto stateOf = [](const BrindleVolume::ItemPtr& directory) {
        std::lock_guard fields(directory->fieldsMutex);
        return State{directory->directoryVerifier, directory->attributesLoaded};
    };
    const auto reload = [](const BrindleVolume::ItemPtr& directory) {
        std::lock_guard fields(directory->fieldsMutex);
        directory->attributesLoaded = true;
    };

    auto failed = std::make_shared<ErrorAwait>();
    volume.createSymbolicLinkNamed(FSFileName::nameWithString("l"), root, nullptr, FSFileName::nameWithString("t"),
                                   [failed](auto, auto, auto error) { failed->set(codeOf(error)); });
    scripted.serve("create_symlink", {{"ok", false}, {"errno", 17}});
    EXPECT_EQ(*failed->get(), 17);
    EXPECT_EQ(stateOf(root).verifier, 1u);
    EXPECT_TRUE(stateOf(root).loaded);

    const auto expectInvalidated = [&](const char* change, const BrindleVolume::ItemPtr& directory,
                                       uint64_t verifier) {
        EXPECT_EQ(stateOf(directory).verifier, verifier) << change;
        EXPECT_FALSE(stateOf(directory).loaded) << change;
        reload(directory);
    };
    const std::pair<int64_t, const char*> creations[] = {{1, "create_file"}, {2, "create_directory"}};
    uint64_t rootVerifier = 1;
    for (const auto& [type, method] : creations) {
        auto created = std::make_shared<ErrorAwait>();
        volume.createItemNamed(FSFileName::nameWithString("n"), type, root, nullptr,
                               [created](auto, auto, auto error) { created->set(codeOf(error)); });
        scripted.serve(method, {{"ok", true}, {"item_attrs", volumetest::itemRecord(20 + type, 1, "n", "file")}});
        EXPECT_EQ(*created->get(), std::nullopt);
        expectInvalidated(method, root, ++rootVerifier);
    }

    auto linked = std::make_shared<ErrorAwait>();
    volume.createSymbolicLinkNamed(FSFileName::nameWithString("l"), root, nullptr, FSFileName::nameWithString("t"),
                                   [linked](auto, auto, auto error) { linked->set(codeOf(error)); });
    scripted.serve("create_symlink", {{"ok", true}, {"item_attrs", volumetest::itemRecord(30, 1, "l", "symlink")}});
    EXPECT_EQ(*linked->get(), std::nullopt);
    expectInvalidated("create_symlink", root, ++rootVerifier);

    auto removed = std::make_shared<ErrorAwait>();
    volume.removeItem(itemFor(30, ItemType::SymbolicLink), FSFileName::nameWithString("l"), root, errorInto(removed));
    scripted.serve("remove_file", {{"ok", true}});
    EXPECT_EQ(*removed->get(), std::nullopt);
    expectInvalidated("remove_file", root, ++rootVerifier);

    auto renamed = std::make_shared<ErrorAwait>();
    volume.renameItem(itemFor(8, ItemType::File), root, FSFileName::nameWithString("a"),
                      FSFileName::nameWithString("b"), other, nullptr,
                      [renamed](auto, auto error) { renamed->set(codeOf(error)); });
    scripted.serve("rename", {{"ok", true}});
    EXPECT_EQ(*renamed->get(), std::nullopt);
    expectInvalidated("rename, source", root, ++rootVerifier);
    expectInvalidated("rename, destination", other, 2);
}

TEST(NamespaceLookupTest, LookingUpOneNodeTwiceYieldsTheTrackedObject) {
    volumetest::ScriptedVolume scripted;
    BrindleVolume& volume = *scripted.volume;
    BrindleVolume::ItemPtr found[2];
    for (auto& slot : found) {
        auto looked = std::make_shared<rpctest::Await<BrindleVolume::ItemPtr>>();
        volume.lookupItemNamed(FSFileName::nameWithString("f"), volume.rootItem(),
                               [looked](auto item, auto, auto) { looked->set(item); });
        scripted.serve("lookup", {{"ok", true}, {"lookup_item", volumetest::itemRecord(7, 1, "f", "file")}});
        slot = *looked->get();
    }
    ASSERT_NE(found[0], nullptr);
    EXPECT_EQ(found[0], found[1]);
    EXPECT_EQ(volume.trackedItemForNodeID(7), found[0]);
}
