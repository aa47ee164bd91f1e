#include "module/BrindleFileSystem.h"
#include "platform/foundation/errno_table.h"
#include "platform/foundation/file_read.h"
#include "tests/module/rpc/scripted_server.h"
#include "tests/module/volume/volume_harness.h"
#include "tests/server/server_fixture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>

using namespace brindle;
using foundation::Error;
using fskit::FSFileName;
namespace darwin = foundation::darwin;

namespace {

template <typename T>
T await(const std::function<void(std::function<void(T)>)>& call) {
    auto out = std::make_shared<rpctest::Await<T>>();
    call([out](T value) { out->set(std::move(value)); });
    auto value = out->get();
    if (!value) throw std::runtime_error("no reply within the wait");
    return std::move(*value);
}

using ErrorResult = std::optional<Error>;
using ItemResult = std::pair<std::shared_ptr<BrindleItem>, std::optional<Error>>;
using CountResult = std::pair<uint64_t, std::optional<Error>>;

std::string fileContents(const std::string& path) {
    auto read = foundation::readWholeFile(foundation::URL::fileURLWithPath(path));
    return read ? read.value() : std::string("(missing)");
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// brindle-server on a temporary export, reached through the file system's load like the host does.
class FileSystemEndToEndTest : public servertest::ServerFixture {
protected:
    void SetUp() override {
        servertest::ServerSetup setup;
        setup.fileSystem.namedattr = true;
        startServer(setup);
    }

    std::string onDisk(const std::string& name) const { return exportPath() + "/" + name; }
};

}  // namespace

TEST_F(FileSystemEndToEndTest, AFilesLifeThroughTheVolumeShowsOnDiskAtEveryStep) {
    const auto fileSystem = BrindleFileSystem::create();
    const auto resource = std::make_shared<fskit::FSPathURLResource>(foundation::URL::fileURLWithPath(sessionPath()));
    auto [volume, loadError] = await<std::pair<std::shared_ptr<BrindleVolume>, std::optional<Error>>>([&](auto done) {
        fileSystem->loadResource(resource, {}, [done](auto volume, auto error) { done({volume, error}); });
    });
    ASSERT_TRUE(volume) << (loadError ? loadError->description() : "");

    auto [root, activateError] = await<ItemResult>(
        [&](auto done) { volume->activateWithOptions({}, [done](auto item, auto error) { done({item, error}); }); });
    ASSERT_TRUE(root);
    EXPECT_EQ(root->itemType, ItemType::Directory);
    EXPECT_FALSE(await<ErrorResult>([&](auto done) { volume->mountWithOptions({}, done); }));

    auto attributes = std::make_shared<fskit::FSItemSetAttributesRequest>();
    attributes->mode = 0640;
    std::shared_ptr<BrindleItem> file;
    await<int>([&](auto done) {
        volume->createItemNamed(FSFileName::nameWithString("notes.txt"), fskit::FSItemTypeFile, root, attributes,
                                [&, done](auto item, auto, auto error) {
                                    EXPECT_FALSE(error);
                                    file = item;
                                    done(0);
                                });
    });
    ASSERT_TRUE(file);
    ASSERT_TRUE(exists(onDisk("notes.txt")));
    struct stat status {};
    ::stat(onDisk("notes.txt").c_str(), &status);
    EXPECT_EQ(status.st_mode & 0777, 0640u);

    EXPECT_FALSE(await<ErrorResult>(
        [&](auto done) { volume->openItem(file, BrindleVolume::openModeRead | BrindleVolume::openModeWrite, done); }));
    const auto written = await<CountResult>([&](auto done) {
        volume->writeContents("hello, volume", file, 0, [done](auto n, auto error) { done({n, error}); });
    });
    EXPECT_EQ(written.first, 13u);
    EXPECT_EQ(fileContents(onDisk("notes.txt")), "hello, volume");
    EXPECT_EQ(file->size, 13u);

    auto buffer = std::make_shared<fskit::FSMutableFileDataBuffer>(64);
    const auto read = await<CountResult>([&](auto done) {
        volume->readFromFile(file, 7, 64, buffer, [done](auto n, auto error) { done({n, error}); });
    });
    EXPECT_EQ(read.first, 6u);
    EXPECT_EQ(std::string(static_cast<const char*>(buffer->bytes()), read.first), "volume");
    EXPECT_FALSE(await<ErrorResult>([&](auto done) { volume->closeItem(file, 0, done); }));

    await<int>([&](auto done) {
        volume->renameItem(file, root, FSFileName::nameWithString("notes.txt"), FSFileName::nameWithString("kept.txt"),
                           root, nullptr, [done](auto, auto error) {
                               EXPECT_FALSE(error);
                               done(0);
                           });
    });
    EXPECT_FALSE(exists(onDisk("notes.txt")));
    EXPECT_EQ(fileContents(onDisk("kept.txt")), "hello, volume");

    EXPECT_FALSE(await<ErrorResult>([&](auto done) { volume->openItem(root, BrindleVolume::openModeRead, done); }));
    auto packer = std::make_shared<volumetest::RecordingPacker>();
    const auto listed = await<CountResult>([&](auto done) {
        volume->enumerateDirectory(root, 0, 0, fskit::FSItemGetAttributesRequest(~0ull), packer,
                                   [done](auto verifier, auto error) { done({verifier, error}); });
    });
    EXPECT_FALSE(listed.second);
    const auto kept = std::find_if(packer->entries.begin(), packer->entries.end(),
                                   [](const auto& entry) { return entry.name == "kept.txt"; });
    ASSERT_NE(kept, packer->entries.end());
    ASSERT_TRUE(kept->attributes);
    EXPECT_EQ(kept->attributes->size, 13u);
    EXPECT_FALSE(await<ErrorResult>([&](auto done) { volume->closeItem(root, 0, done); }));

    EXPECT_FALSE(await<ErrorResult>([&](auto done) {
        volume->setXattrNamed(FSFileName::nameWithString("colour"), std::string("blue"), file,
                              BrindleVolume::xattrPolicyMustCreate, done);
    }));
    // The server keeps client names in Linux's user namespace.
    char value[16] = {};
    EXPECT_EQ(::getxattr(onDisk("kept.txt").c_str(), "user.colour", value, sizeof value), 4);
    EXPECT_STREQ(value, "blue");
    const auto fetched = await<std::pair<std::optional<std::string>, std::optional<Error>>>([&](auto done) {
        volume->getXattrNamed(FSFileName::nameWithString("colour"), file,
                              [done](auto data, auto error) { done({data, error}); });
    });
    EXPECT_EQ(fetched.first, std::optional<std::string>("blue"));
    const auto again = await<ErrorResult>([&](auto done) {
        volume->setXattrNamed(FSFileName::nameWithString("colour"), std::string("red"), file,
                              BrindleVolume::xattrPolicyMustCreate, done);
    });
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isPosix(darwin::eexist));

    EXPECT_FALSE(await<ErrorResult>(
        [&](auto done) { volume->removeItem(file, FSFileName::nameWithString("kept.txt"), root, done); }));
    EXPECT_FALSE(exists(onDisk("kept.txt")));

    await<int>([&](auto done) { volume->unmountWithReplyHandler([done] { done(0); }); });
    auto [none, afterUnmount] = await<ItemResult>(
        [&](auto done) { volume->activateWithOptions({}, [done](auto item, auto error) { done({item, error}); }); });
    EXPECT_FALSE(none);
    ASSERT_TRUE(afterUnmount);
    EXPECT_TRUE(afterUnmount->isPosix(darwin::ecanceled));
    EXPECT_FALSE(await<ErrorResult>([&](auto done) { fileSystem->unloadResource(resource, {}, done); }));
}
