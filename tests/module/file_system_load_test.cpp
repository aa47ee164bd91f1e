#include "module/BrindleFileSystem.h"
#include "platform/foundation/errno_table.h"
#include "tests/module/resource_doubles.h"
#include "tests/module/rpc/scripted_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <thread>

using namespace brindle;
using foundation::Error;
using foundation::URL;
namespace darwin = foundation::darwin;

namespace {

using moduletest::BlockResource;
using moduletest::RefusingAccess;

using Loaded = std::pair<std::shared_ptr<BrindleVolume>, std::optional<Error>>;

class LoadTest : public ::testing::Test {
protected:
    std::shared_ptr<fskit::FSPathURLResource> resourceFor(
        const std::string& socketPath, bool readonly = false,
        std::shared_ptr<foundation::SecurityScopedAccess> access = std::make_shared<foundation::SecurityScopedAccess>()) {
        const std::string json = R"({"session_id":"session-1","socket_path":")" + socketPath +
                                 R"(","auth_token":"secret","readonly":)" + (readonly ? "true" : "false") + "}";
        url = URL::fileURLWithPath(dir.write("session.json", json), std::move(access));
        return std::make_shared<fskit::FSPathURLResource>(url);
    }

    std::shared_ptr<rpctest::Await<Loaded>> load(const std::shared_ptr<fskit::FSResource>& resource) {
        auto out = std::make_shared<rpctest::Await<Loaded>>();
        fileSystem->loadResource(resource, fskit::FSTaskOptions{{"-f"}},
                                 [out](std::shared_ptr<BrindleVolume> volume, std::optional<Error> error) {
                                     out->set({std::move(volume), std::move(error)});
                                 });
        return out;
    }

    void expectIdle() {
        EXPECT_FALSE(fileSystem->session());
        EXPECT_FALSE(fileSystem->rpcClient());
        EXPECT_FALSE(fileSystem->loadedResourceURL());
        if (url) {
            EXPECT_EQ(url->securityScopedAccess().openCount(), 0);
        }
    }

    testsupport::TempDir dir;
    rpctest::ScriptedServer server;
    std::optional<URL> url;
    std::shared_ptr<BrindleFileSystem> fileSystem = BrindleFileSystem::create();
};

}  // namespace

TEST_F(LoadTest, ALoadAfterTheHandshakeHoldsTheSessionAndUnloadReleasesEverything) {
    testsupport::LogCapture log;
    auto out = load(resourceFor(server.socketPath(), true));
    auto peer = server.accept();
    ASSERT_TRUE(peer);
    peer->acceptHandshake("session-1");
    const auto loaded = out->get();
    ASSERT_TRUE(loaded);
    ASSERT_TRUE(loaded->first);
    EXPECT_FALSE(loaded->second);
    EXPECT_TRUE(loaded->first->isReadonlyVolume());
    EXPECT_EQ(fileSystem->session()->sessionID(), "session-1");
    EXPECT_EQ(fileSystem->rpcClient(), loaded->first->rpcClient());
    EXPECT_EQ(fileSystem->loadedResourceURL()->path(), url->path());
    EXPECT_TRUE(fileSystem->containerStatus().isReady());
    EXPECT_EQ(url->securityScopedAccess().openCount(), 1);
    EXPECT_TRUE(log.sink().contains("orvel: loadResource resource=FSPathURLResource("));
    EXPECT_TRUE(log.sink().contains("options=[-f]"));
    EXPECT_TRUE(log.sink().contains("orvel: loadResource returning volume sessionID=session-1"));

    std::optional<Error> unloaded = Error::posix(1);
    int replies = 0;
    fileSystem->unloadResource(nullptr, {}, [&](std::optional<Error> error) {
        ++replies;
        unloaded = error;
    });
    EXPECT_EQ(replies, 1);
    EXPECT_FALSE(unloaded);
    expectIdle();
    ASSERT_TRUE(fileSystem->containerStatus().status());
    EXPECT_TRUE(fileSystem->containerStatus().status()->isPosix(0));
    EXPECT_FALSE(loaded->first->rpcClient()->isConnected());
}

TEST_F(LoadTest, ARefusedHandshakeRepliesTheServersErrorAndLeavesNothingOpen) {
    testsupport::LogCapture log;
    auto out = load(resourceFor(server.socketPath()));
    auto peer = server.accept();
    ASSERT_TRUE(peer);
    const auto handshake = peer->read();
    ASSERT_TRUE(handshake);
    peer->replyTo(*handshake, {{"ok", false}, {"errno", darwin::eacces}, {"error", "bad token"}});
    const auto loaded = out->get();
    ASSERT_TRUE(loaded);
    EXPECT_FALSE(loaded->first);
    ASSERT_TRUE(loaded->second);
    EXPECT_TRUE(loaded->second->isPosix(darwin::eacces));
    EXPECT_TRUE(log.sink().containsAt(logging::Level::Debug, "orvel: loadResource handshake failed error="));
    expectIdle();
    EXPECT_FALSE(fileSystem->containerStatus().isReady());
}

TEST_F(LoadTest, AnUnreachableServerFailsTheLoadWithTheConnectionError) {
    auto missing = load(resourceFor(dir.file("nobody.sock")))->get();
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->first);
    ASSERT_TRUE(missing->second);
    expectIdle();

    auto tooLong = load(resourceFor("/tmp/" + std::string(200, 'x') + ".sock"))->get();
    ASSERT_TRUE(tooLong);
    EXPECT_FALSE(tooLong->first);
    ASSERT_TRUE(tooLong->second);
    EXPECT_TRUE(tooLong->second->isPosix(darwin::enametoolong));
    expectIdle();
}

TEST_F(LoadTest, RefusalsBeforeTheConnectionReplyAtOnce) {
    testsupport::LogCapture log;
    auto blocked = load(std::make_shared<BlockResource>());
    ASSERT_TRUE(blocked->ready());
    EXPECT_TRUE(blocked->get()->second->isPosix(darwin::enodev));
    EXPECT_TRUE(log.sink().contains("orvel: loadResource rejected resource error="));

    auto noURL = load(std::make_shared<fskit::FSPathURLResource>(std::nullopt));
    EXPECT_TRUE(noURL->get()->second->isPosix(darwin::einval));

    auto refused = load(resourceFor(server.socketPath(), false, std::make_shared<RefusingAccess>()));
    ASSERT_TRUE(refused->ready());
    EXPECT_TRUE(refused->get()->second->isPosix(darwin::eacces));
    EXPECT_TRUE(log.sink().contains("orvel: loadResource failed to access security-scoped resource"));
    expectIdle();

    url = URL::fileURLWithPath(dir.write("broken.json", "{\"session_id\": 3}"));
    auto invalid = load(std::make_shared<fskit::FSPathURLResource>(url));
    ASSERT_TRUE(invalid->ready());
    EXPECT_TRUE(invalid->get()->second);
    EXPECT_TRUE(log.sink().contains("orvel: loadResource failed to create session error="));
    expectIdle();
    EXPECT_FALSE(server.accept(std::chrono::milliseconds(50)));
}

TEST_F(LoadTest, UnloadingWithNothingLoadedStillRepliesAndMarksTheContainerNotReady) {
    testsupport::LogCapture log;
    std::optional<Error> unloaded = Error::posix(1);
    fileSystem->unloadResource(nullptr, {}, [&](std::optional<Error> error) { unloaded = error; });
    EXPECT_FALSE(unloaded);
    EXPECT_FALSE(fileSystem->containerStatus().isReady());
    EXPECT_TRUE(log.sink().contains("orvel: unloadResource"));
    expectIdle();
}
