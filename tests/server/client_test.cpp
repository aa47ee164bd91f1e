// The server as the module meets it: every call goes through BrindleRPCClient.
#include "module/rpc/BrindleRPCClient.h"
#include "module/BrindleSessionDescriptor.h"
#include "platform/foundation/errno_table.h"
#include "tests/server/server_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>

using namespace brindle;
namespace darwin = foundation::darwin;

namespace {

// Waits for one completion of a client method and hands back what it received.
template <typename... Values>
struct Await {
    std::promise<std::tuple<Values...>> promise;
    std::function<void(Values...)> callback() {
        return [this](Values... values) { promise.set_value(std::tuple<Values...>(std::move(values)...)); };
    }
    std::tuple<Values...> get() {
        auto future = promise.get_future();
        if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "no completion within 10 s";
            std::abort();
        }
        return future.get();
    }
};

using ItemAwait = Await<std::shared_ptr<BrindleItem>, std::optional<foundation::Error>>;
using SuccessAwait = Await<bool, std::optional<foundation::Error>>;
using CountAwait = Await<uint64_t, std::optional<foundation::Error>>;

class ClientAgainstServerTest : public servertest::ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        auto session = BrindleSessionDescriptor::initWithURL(foundation::URL::fileURLWithPath(sessionPath()), SessionFileTrust::requirePrivate);
        ASSERT_TRUE(session) << session.error().description();
        client = BrindleRPCClient::initWithSession(session.value());
        SuccessAwait ready;
        client->connectAndHandshakeWithReply(ready.callback());
        auto [ok, error] = ready.get();
        ASSERT_TRUE(ok) << (error ? error->description() : "");
    }
    void TearDown() override {
        client.reset();
        ServerFixture::TearDown();
    }

    std::shared_ptr<BrindleItem> root() {
        ItemAwait wait;
        client->fetchRootItemWithReply(wait.callback());
        return std::get<0>(wait.get());
    }

    std::shared_ptr<BrindleRPCClient> client;
};

}  // namespace

TEST_F(ClientAgainstServerTest, TheClientLearnsWhatTheServerAdvertisesAndNothingWhereItAdvertisesNothing) {
    const auto reconnectTo = [&](const servertest::ServerSetup& options) {
        client.reset();
        startServer(options);
        auto session = BrindleSessionDescriptor::initWithURL(foundation::URL::fileURLWithPath(sessionPath()),
                                                             SessionFileTrust::requirePrivate);
        ASSERT_TRUE(session);
        client = BrindleRPCClient::initWithSession(session.value());
        SuccessAwait ready;
        client->connectAndHandshakeWithReply(ready.callback());
        ASSERT_TRUE(std::get<0>(ready.get()));
    };
    const std::set<std::string> brindleServers{"append",          "change_notices",        "create_opens",
                                               "export_watched",  "forget",                "listing_in_open",
                                               "locks",           "open_directory_record", "post_op_records"};
    EXPECT_EQ(client->serverExtensions(), brindleServers);
    servertest::ServerSetup withholding;
    withholding.settings.withheldExtensions = brindleServers;
    reconnectTo(withholding);
    EXPECT_TRUE(client->serverExtensions().empty());
    EXPECT_FALSE(client->serverSupports("create_opens"));
    servertest::ServerSetup options;
    options.settings.extensions = {"zeta_ext", "alpha_ext"};
    reconnectTo(options);
    std::set<std::string> withConfigured = brindleServers;
    withConfigured.insert({"alpha_ext", "zeta_ext"});
    EXPECT_EQ(client->serverExtensions(), withConfigured);
    EXPECT_TRUE(client->serverSupports("alpha_ext"));
}

TEST_F(ClientAgainstServerTest, AFileLivesThroughCreateWriteReadRenameAndRemove) {
    const auto rootItem = root();
    ASSERT_TRUE(rootItem);
    EXPECT_EQ(rootItem->itemType, ItemType::Directory);
    EXPECT_TRUE(rootItem->attributesLoaded);

    ItemAwait created;
    client->createFileNamed("notes.txt", rootItem->nodeID, 0644, created.callback());
    auto [file, createError] = created.get();
    ASSERT_TRUE(file) << createError->description();
    EXPECT_EQ(file->name, "notes.txt");
    EXPECT_EQ(file->mode & 0777, 0644u);

    SuccessAwait opened;
    client->openItemWithNodeID(file->nodeID, 3, opened.callback());
    ASSERT_TRUE(std::get<0>(opened.get()));

    const std::string contents = "hello from the module\n";
    CountAwait written;
    client->writeFileWithNodeID(file->nodeID, 0, contents, written.callback());
    EXPECT_EQ(std::get<0>(written.get()), contents.size());

    // Asking for more than the buffer holds never places more than the buffer holds.
    auto buffer = std::make_shared<fskit::FSMutableFileDataBuffer>(8);
    CountAwait read;
    client->readFileWithNodeID(file->nodeID, 6, 4096, buffer, read.callback());
    auto [count, readError] = read.get();
    ASSERT_FALSE(readError);
    ASSERT_EQ(count, 8u);
    EXPECT_EQ(std::string(static_cast<const char*>(buffer->bytes()), 8), "from the");

    SuccessAwait renamed;
    client->renameItemNamed("notes.txt", rootItem->nodeID, "kept.txt", rootItem->nodeID, renamed.callback());
    ASSERT_TRUE(std::get<0>(renamed.get()));
    ItemAwait looked;
    client->lookupItemNamed("kept.txt", rootItem->nodeID, looked.callback());
    auto [found, lookupError] = looked.get();
    ASSERT_TRUE(found);
    EXPECT_EQ(found->nodeID, file->nodeID) << "node ids survive a rename";
    EXPECT_EQ(found->size, contents.size());

    SuccessAwait removed;
    client->removeFileNamed("kept.txt", rootItem->nodeID, removed.callback());
    ASSERT_TRUE(std::get<0>(removed.get()));
    EXPECT_FALSE(std::filesystem::exists(exportPath() + "/kept.txt"));

    // The open file is still served after its name is gone.
    CountAwait readAfterUnlink;
    client->readFileWithNodeID(file->nodeID, 0, 5, buffer, readAfterUnlink.callback());
    EXPECT_EQ(std::get<0>(readAfterUnlink.get()), 5u);
    EXPECT_EQ(std::string(static_cast<const char*>(buffer->bytes()), 5), "hello");

    SuccessAwait closed;
    client->closeItemWithNodeID(file->nodeID, 0, closed.callback());
    EXPECT_TRUE(std::get<0>(closed.get()));
}

TEST_F(ClientAgainstServerTest, ServerErrorsReachTheCallerWithTheirDarwinNumbers) {
    const auto rootItem = root();
    ASSERT_TRUE(rootItem);

    ItemAwait missing;
    client->lookupItemNamed("absent", rootItem->nodeID, missing.callback());
    auto [item, error] = missing.get();
    EXPECT_FALSE(item);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->isPosix(darwin::enoent)) << error->description();

    ItemAwait dir;
    client->createDirectoryNamed("full", rootItem->nodeID, 0755, dir.callback());
    auto [directory, dirError] = dir.get();
    ASSERT_TRUE(directory);
    ItemAwait inner;
    client->createFileNamed("inside", directory->nodeID, 0644, inner.callback());
    ASSERT_TRUE(std::get<0>(inner.get()));
    SuccessAwait notEmpty;
    client->removeDirectoryNamed("full", rootItem->nodeID, notEmpty.callback());
    auto [ok, removeError] = notEmpty.get();
    EXPECT_FALSE(ok);
    ASSERT_TRUE(removeError);
    EXPECT_TRUE(removeError->isPosix(darwin::enotempty)) << removeError->description();

    ItemAwait escape;
    client->lookupItemNamed("..", rootItem->nodeID, escape.callback());
    auto [escaped, escapeError] = escape.get();
    EXPECT_FALSE(escaped);
    ASSERT_TRUE(escapeError);
    EXPECT_TRUE(escapeError->isPosix(darwin::einval));
}

TEST_F(ClientAgainstServerTest, ListingsPageThroughCookiesAcrossBatches) {
    const auto rootItem = root();
    ASSERT_TRUE(rootItem);
    for (int i = 0; i < 300; ++i) std::ofstream(exportPath() + "/f" + std::to_string(i)) << i;

    CountAwait opened;
    client->openDirectoryWithNodeID(rootItem->nodeID, opened.callback());
    const uint64_t handle = std::get<0>(opened.get());
    ASSERT_NE(handle, 0u);

    std::set<std::string> names;
    uint64_t cookie = 0;
    for (int batch = 0; batch < 10; ++batch) {
        Await<std::optional<std::vector<std::shared_ptr<BrindleItem>>>, std::optional<foundation::Error>> listed;
        client->enumerateDirectoryWithParentID(rootItem->nodeID, handle, cookie, 1, 128, listed.callback());
        auto [items, error] = listed.get();
        ASSERT_TRUE(items) << error->description();
        for (const auto& entry : *items) {
            EXPECT_TRUE(entry->attributesLoaded);
            EXPECT_GT(entry->directoryCookie, cookie);
            cookie = entry->directoryCookie;
            names.insert(entry->name);
        }
        if (items->size() < 128) break;
    }
    EXPECT_EQ(names.size(), 300u);
    EXPECT_FALSE(names.count(".") || names.count(".."));
}

TEST_F(ClientAgainstServerTest, ManyOutstandingRequestsEachCompleteOnce) {
    const auto rootItem = root();
    ASSERT_TRUE(rootItem);
    constexpr int kRequests = 500;
    std::atomic<int> completions{0};
    std::atomic<int> failures{0};
    std::promise<void> allDone;
    for (int i = 0; i < kRequests; ++i) {
        client->fetchAttributesForNodeID(rootItem->nodeID, rootItem->parentNodeID, std::nullopt,
                                         [&](std::shared_ptr<BrindleItem> item, std::optional<foundation::Error>) {
                                             if (!item) failures.fetch_add(1);
                                             if (completions.fetch_add(1) + 1 == kRequests) allDone.set_value();
                                         });
    }
    ASSERT_EQ(allDone.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(completions.load(), kRequests);
    EXPECT_EQ(failures.load(), 0);
}
