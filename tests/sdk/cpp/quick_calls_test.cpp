#include "brindle/server.h"
#include "tests/support/frame_client.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace brindle::sdk {
namespace {

using namespace std::chrono_literals;
using testsupport::FrameClient;

// A synchronize holds its worker until the test lets every one go.
class Holding final : public Backend {
public:
    Capabilities capabilities() const override { return {false, false, {std::string(extension::changeNotices)}}; }
    Result<Item> getRootAttributes(const Call&) override { return root(); }
    Result<Item> getAttributes(const Call&, NodeId) override { return root(); }
    Result<void> synchronize(const Call&, uint32_t) override {
        ++holding;
        released.wait();
        return {};
    }

    std::atomic<int> holding{0};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();

private:
    static Item root() {
        Attributes attributes;
        attributes.type = ItemType::directory;
        attributes.mode = 0755;
        return Item{kRootNode, attributes};
    }
};

// Every mount keeps a wait_for_changes held; it waits for a change, not for a worker, so a quick
// call beside it is still answered by the connection's reader, even with every worker busy.
TEST(QuickCallsTest, AQuickCallBesideAHeldWaitIsAnsweredWhileEveryWorkerIsBusy) {
    testsupport::TempDir directory;
    Holding backend;
    ServerSettings settings;
    settings.sessionFile = directory.path() + "/session.json";
    settings.threads = 2;
    auto started = Server::start(backend, settings);
    ASSERT_TRUE(started) << describe(started.error());
    const auto server = std::move(started.value());

    std::vector<std::unique_ptr<FrameClient>> busy;
    for (size_t i = 0; i < settings.threads; ++i) {
        busy.push_back(std::make_unique<FrameClient>(server->endpoint()));
        ASSERT_TRUE(busy.back()->handshake(server->authToken()));
        busy.back()->send({{"method", "synchronize"}});
    }
    for (int tries = 0; backend.holding < static_cast<int>(settings.threads) && tries < 500; ++tries) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(backend.holding, static_cast<int>(settings.threads)) << "every worker holds a synchronize";

    FrameClient watcher(server->endpoint());
    ASSERT_TRUE(watcher.handshake(server->authToken()));
    const timeval patience{5, 0};
    ::setsockopt(watcher.fd(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    watcher.send({{"method", "wait_for_changes"}, {"wait_ms", 8000}});
    const auto answer = watcher.call({{"method", "get_attributes"}, {"node_id", kRootNode}});
    backend.release.set_value();
    ASSERT_TRUE(answer) << "no answer while every worker was busy with another client";
    EXPECT_TRUE(answer->ok()) << boost::json::serialize(answer->object);
    EXPECT_TRUE(answer->object.contains("item_attrs")) << boost::json::serialize(answer->object);
    for (auto& client : busy) EXPECT_TRUE(client->receive()) << "each synchronize is answered once let go";
}

}  // namespace
}  // namespace brindle::sdk
