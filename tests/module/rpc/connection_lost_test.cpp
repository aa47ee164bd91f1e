#include "module/rpc/BrindleRPCClient.h"
#include "platform/foundation/errno_table.h"
#include "tests/module/rpc/scripted_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using brindle::BrindleRPCClient;
using foundation::Error;
using rpctest::Await;
namespace darwin = foundation::darwin;
using namespace std::chrono_literals;

namespace {

// A client whose handshake the test's server accepted.
struct Established {
    rpctest::ScriptedServer server;
    std::shared_ptr<BrindleRPCClient> client = BrindleRPCClient::initWithSession(server.session());
    std::unique_ptr<rpctest::Peer> peer;

    Established() {
        Await<bool> ready;
        client->connectAndHandshakeWithReply([&ready](bool ok, std::optional<Error>) { ready.set(ok); });
        peer = server.accept();
        if (peer) peer->acceptHandshake("session-1");
        EXPECT_EQ(ready.get(), std::optional<bool>(true));
    }
};

}  // namespace

// A host that keeps a mount across restarts learns of the loss from the client, once, with its error.
TEST(ConnectionLost, TheListenerHearsOnceWhenAnEstablishedConnectionFails) {
    Established established;
    std::atomic<int> calls{0};
    Await<Error> lost;
    established.client->setConnectionLostHandler([&](Error error) {
        if (++calls == 1) lost.set(error);
    });
    established.peer->close();
    const auto error = lost.get();
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->isPosix(darwin::econnreset)) << error->code();
    established.client->disconnect();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls, 1);
}

TEST(ConnectionLost, ADisconnectAskedForIsNoLoss) {
    Established established;
    std::atomic<int> calls{0};
    established.client->setConnectionLostHandler([&](Error) { ++calls; });
    established.client->disconnect();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls, 0);
}

TEST(ConnectionLost, AListenerSetAfterTheLossHearsOfItAtOnce) {
    Established established;
    established.peer->close();
    Await<bool> failed;
    for (int i = 0; i < 100 && !failed.ready(); ++i) {
        established.client->pingWithReply([&failed, i](bool, std::optional<Error> error) {
            if (error && i == 0) failed.set(true);
        });
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(failed.get());
    Await<Error> lost;
    established.client->setConnectionLostHandler([&](Error error) { lost.set(error); });
    EXPECT_TRUE(lost.get(2s));
}
