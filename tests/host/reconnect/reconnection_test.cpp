#include "host/fuse/reconnect/reconnection.h"

#include "tests/module/rpc/scripted_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

using namespace brindle;
using namespace brindle::host;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// A volume on a connection the test's server accepted; closing `peer` loses it.
struct ConnectedVolume {
    rpctest::ScriptedServer server;
    std::unique_ptr<rpctest::Peer> peer;
    std::shared_ptr<BrindleRPCClient> client;
    std::shared_ptr<BrindleVolume> volume;

    ConnectedVolume() {
        const auto session = server.session();
        client = BrindleRPCClient::initWithSession(session);
        auto ready = std::make_shared<rpctest::Await<bool>>();
        client->connectAndHandshakeWithReply([ready](bool ok, std::optional<foundation::Error>) { ready->set(ok); });
        peer = server.accept();
        if (!peer) throw std::runtime_error("the client did not connect");
        peer->acceptHandshake("session-1");
        if (ready->get() != std::optional<bool>(true)) throw std::runtime_error("the handshake did not complete");
        volume = BrindleVolume::initWithSession(session, client, false);
    }
    ~ConnectedVolume() { client->disconnect(); }
};

std::shared_ptr<OperationContext> contextFor(const std::shared_ptr<BrindleVolume>& volume) {
    MountOptions options;
    options.requestTimeout = 5s;
    return std::make_shared<OperationContext>(volume, 1, options, options.requestTimeout);
}

}  // namespace

// Only the client's report of a lost connection starts a reconnect; its volume then becomes the
// next generation, and a call that waited gets it.
TEST(Reconnection, ALostConnectionIsReplacedByTheReloadedVolume) {
    ConnectedVolume first;
    ConnectedVolume second;
    auto context = contextFor(first.volume);
    std::atomic<int> reloads{0};
    std::promise<void> serverBack;
    auto back = serverBack.get_future().share();
    auto reconnection = Reconnection::create(
        context,
        [&, back](const std::function<bool()>&) -> std::variant<ReloadedVolume, std::string> {
            ++reloads;
            back.wait();
            return ReloadedVolume{second.volume, 9};
        },
        "session.json");
    reconnection->start();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(reloads, 0) << "nothing reconnects while the connection works";

    first.peer->close();
    for (int i = 0; i < 200 && context->volume.isConnected(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(context->volume.isConnected());
    auto waiting = std::async(std::launch::async, [&] { return context->volume.connected(Clock::now() + 5s); });
    std::this_thread::sleep_for(100ms);
    serverBack.set_value();
    const auto generation = waiting.get();
    ASSERT_NE(generation, nullptr);
    EXPECT_EQ(generation->number, 2u);
    EXPECT_EQ(generation->volume, second.volume);
    EXPECT_EQ(context->inodes.generation(), 2u);
    EXPECT_EQ(context->inodes.nodeIDForInode(InodeTable::rootInode), 9u);
    EXPECT_EQ(reloads, 1);
    reconnection->stop();
    context->volume.end();
}

// The mount can end while the server is away: stopping does not wait for the attempt under way,
// and no later generation appears.
TEST(Reconnection, StoppingDuringAReconnectDoesNotWaitForTheServer) {
    ConnectedVolume first;
    auto context = contextFor(first.volume);
    std::atomic<bool> attempting{false};
    auto reconnection = Reconnection::create(
        context,
        [&](const std::function<bool()>& ending) -> std::variant<ReloadedVolume, std::string> {
            attempting = true;
            // A server that never answers: only the end of the mount ends the attempt.
            while (!ending()) std::this_thread::sleep_for(10ms);
            return std::string("load: no answer");
        },
        "session.json");
    reconnection->start();
    first.peer->close();
    for (int i = 0; i < 200 && !attempting; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(attempting);
    EXPECT_FALSE(context->volume.isConnected());
    const auto began = Clock::now();
    reconnection->stop();
    context->volume.end();
    EXPECT_LT(Clock::now() - began, 1s);
    EXPECT_EQ(context->volume.latest()->number, 1u);
    EXPECT_EQ(context->volume.connected(std::nullopt), nullptr);
}

// Failed attempts are spaced 0.2 s, 0.4 s, 0.8 s ... apart.
TEST(Reconnection, FailedAttemptsBackOff) {
    ConnectedVolume first;
    ConnectedVolume second;
    auto context = contextFor(first.volume);
    std::vector<Clock::time_point> attempts;
    std::mutex attemptsMutex;
    auto reconnection = Reconnection::create(
        context,
        [&](const std::function<bool()>&) -> std::variant<ReloadedVolume, std::string> {
            std::lock_guard lock(attemptsMutex);
            attempts.push_back(Clock::now());
            if (attempts.size() < 4) return std::string("load: ECONNREFUSED");
            return ReloadedVolume{second.volume, 1};
        },
        "session.json");
    reconnection->start();
    first.peer->close();
    for (int i = 0; i < 200 && context->volume.latest()->number == 1; ++i) std::this_thread::sleep_for(20ms);
    ASSERT_NE(context->volume.connected(Clock::now() + 5s), nullptr);
    reconnection->stop();
    context->volume.end();
    std::lock_guard lock(attemptsMutex);
    ASSERT_EQ(attempts.size(), 4u);
    const Clock::duration expected[] = {200ms, 400ms, 800ms};
    for (size_t i = 0; i < 3; ++i) {
        const auto gap = attempts[i + 1] - attempts[i];
        EXPECT_GE(gap, expected[i]) << "attempt " << i + 2;
        EXPECT_LT(gap, expected[i] + 400ms) << "attempt " << i + 2;
    }
}
