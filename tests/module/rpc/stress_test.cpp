#include "module/rpc/BrindleRPCClient.h"
#include "platform/foundation/errno_table.h"
#include "tests/module/rpc/scripted_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using brindle::BrindleRPCClient;
using foundation::Error;
namespace darwin = foundation::darwin;

namespace {

constexpr int kThreads = 4;
constexpr int kPerThread = 500;
constexpr int kTotal = kThreads * kPerThread;

// Answers every request it reads, a batch at a time in reverse order, until the client goes.
void answerAll(rpctest::Peer& peer) {
    std::vector<rpctest::Frame> batch;
    while (auto frame = peer.read()) {
        batch.push_back(std::move(*frame));
        if (batch.size() == 7 || batch.back().json.at("method") == "handshake") {
            for (auto it = batch.rbegin(); it != batch.rend(); ++it) {
                const bool handshake = it->json.at("method") == "handshake";
                peer.replyTo(*it, handshake ? boost::json::object{{"ok", true}, {"session_id", "session-1"}}
                                            : boost::json::object{{"ok", true}, {"tag", it->json.at("tag")}});
            }
            batch.clear();
        }
    }
}

struct Tally {
    std::atomic<int> calls[kTotal] = {};
    std::atomic<int> done{0};
    std::atomic<int> wrongTag{0};
    std::atomic<int> failed{0};
};

void submitAll(BrindleRPCClient& client, Tally& tally) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const int tag = t * kPerThread + i;
                client.performRequest({{"method", "ping"}, {"tag", tag}},
                                      [&tally, tag](std::optional<boost::json::object> response,
                                                    std::optional<Error> error) {
                                          if (error) {
                                              tally.failed++;
                                          } else if (response->at("tag") != tag) {
                                              tally.wrongTag++;
                                          }
                                          tally.calls[tag]++;
                                          tally.done++;
                                      });
            }
        });
    }
    for (auto& thread : threads) thread.join();
}

bool waitForAll(Tally& tally) {
    for (int i = 0; i < 1000 && tally.done.load() < kTotal; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a second completion would show by now
    return tally.done.load() == kTotal;
}

}  // namespace

TEST(StressTest, ManyConcurrentRequestsEachCompleteExactlyOnceWithTheirOwnReply) {
    rpctest::ScriptedServer server;
    auto client = BrindleRPCClient::initWithSession(server.session());
    Tally tally;
    std::unique_ptr<rpctest::Peer> peer;
    std::thread serverThread([&] {
        peer = server.accept();
        if (peer) answerAll(*peer);
    });
    // The server answers full batches only; six requests without a completion fill the last one.
    submitAll(*client, tally);
    for (int i = 0; i < 6; ++i) client->performRequest({{"method", "ping"}, {"tag", 0}}, nullptr);
    ASSERT_TRUE(waitForAll(tally)) << tally.done.load();
    EXPECT_EQ(tally.failed.load(), 0);
    EXPECT_EQ(tally.wrongTag.load(), 0);
    for (const auto& calls : tally.calls) ASSERT_EQ(calls.load(), 1);
    client.reset();
    serverThread.join();
}

TEST(StressTest, ADisconnectUnderLoadStillCompletesEveryRequestOnce) {
    rpctest::ScriptedServer server;
    auto client = BrindleRPCClient::initWithSession(server.session());
    Tally tally;
    std::thread serverThread([&] {
        if (auto peer = server.accept()) answerAll(*peer);
    });
    std::thread disconnector([&] {
        while (tally.done.load() < kTotal / 4) std::this_thread::yield();
        client->disconnect();
    });
    submitAll(*client, tally);
    disconnector.join();
    ASSERT_TRUE(waitForAll(tally)) << tally.done.load();
    for (const auto& calls : tally.calls) ASSERT_EQ(calls.load(), 1);
    EXPECT_GT(tally.failed.load(), 0);
    EXPECT_EQ(tally.wrongTag.load(), 0);
    client.reset();
    serverThread.join();
}
