#include "brindle/server.h"
#include "tests/support/frame_client.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
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

std::string frameOf(const boost::json::object& request) {
    const std::string json = boost::json::serialize(request);
    return testsupport::header(static_cast<uint32_t>(json.size()), 0) + json;
}

// A client sends a close together with its next request, and the reader answers the close itself
// and holds its reply to go out with the next one. When the next one is not answered here, the
// held reply must not wait for it.
TEST(QuickCallsTest, AReplyHeldForTheNextRequestNeverWaitsForOneAnsweredElsewhere) {
    testsupport::TempDir directory;
    Holding backend;
    ServerSettings settings;
    settings.sessionFile = directory.path() + "/session.json";
    auto started = Server::start(backend, settings);
    ASSERT_TRUE(started) << describe(started.error());
    const auto server = std::move(started.value());

    FrameClient client(server->endpoint());
    ASSERT_TRUE(client.handshake(server->authToken()));
    const timeval patience{5, 0};
    ::setsockopt(client.fd(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    const auto close = [](int id) {
        return boost::json::object{{"method", "close"}, {"node_id", 99}, {"keeping_modes", 0}, {"request_id", id}};
    };
    const auto answeredID = [&client] {
        const auto answer = client.receive();
        return answer ? answer->object.at("request_id").to_number<int64_t>() : -1;
    };

    // Behind a wait for changes, which is held until a change or its time runs out.
    client.sendBytes(frameOf(close(1)) + frameOf({{"method", "wait_for_changes"}, {"wait_ms", 8000}, {"request_id", 2}}));
    EXPECT_EQ(answeredID(), 1) << "the close's reply waited for the held wait";

    // Behind a call that a worker takes and that does not finish until the test lets it.
    client.sendBytes(frameOf(close(3)) + frameOf({{"method", "synchronize"}, {"sync_flags", 0}, {"request_id", 4}}));
    EXPECT_EQ(answeredID(), 3) << "the close's reply waited for the worker's call";
    backend.release.set_value();
    EXPECT_EQ(answeredID(), 4);

    // Behind a quick call answered here too, both replies come.
    client.sendBytes(frameOf(close(5)) + frameOf({{"method", "ping"}, {"request_id", 6}}));
    std::set<int64_t> answered{answeredID(), answeredID()};
    EXPECT_EQ(answered, (std::set<int64_t>{5, 6}));
}

}  // namespace
}  // namespace brindle::sdk
