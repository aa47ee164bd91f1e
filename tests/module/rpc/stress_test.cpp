#include "module/rpc/BrindleRPCClient.h"
#include "platform/foundation/errno_table.h"
#include "protocol/framing.h"
#include "tests/module/rpc/scripted_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <sys/socket.h>
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

namespace {

constexpr int kReloadThreads = 8;
constexpr int kReloadRounds = 8;
constexpr int kMaxPerThread = 20000;
constexpr int kRequestsPerConnection = 30;

// Reads and answers every frame of one connection, checking what the wire shows: frames whole,
// and each thread's requests in its submission order with ids that only grow.
class CheckingPeer {
public:
    explicit CheckingPeer(std::unique_ptr<rpctest::Peer> peer) : peer_(std::move(peer)) {}
    void hangUp() { ::shutdown(peer_->fd(), SHUT_RDWR); }
    // Requests arrive only after the client accepted the handshake: from then on a failure is final.
    int served() const { return served_.load(); }
    // Answers until the client or hangUp ends the stream; returns what was wrong with the wire.
    int serve() {
        int faults = 0;
        uint64_t lastID = 0;
        std::vector<int> lastIndex(kReloadThreads, -1);
        for (;;) {
            auto frame = brindle::framing::readFramedMessage(peer_->fd(), nullptr);
            if (!frame) {
                const auto& error = frame.error();
                if (!error.isPosix(darwin::econnreset) && !error.isPosix(darwin::eagain)) ++faults;
                return faults;
            }
            const auto& request = frame.value().response;
            const uint64_t id = request.at("request_id").to_number<uint64_t>();
            if (request.at("method") == "handshake") {
                peer_->reply({{"ok", true}, {"session_id", "session-1"}, {"request_id", id}});
                continue;
            }
            const auto tag = request.at("tag").to_number<int>();
            const int thread = tag / kMaxPerThread;
            const int index = tag % kMaxPerThread;
            if (id <= lastID || index <= lastIndex[thread]) ++faults;
            lastID = id;
            lastIndex[thread] = index;
            peer_->reply({{"ok", true}, {"tag", tag}, {"request_id", id}});
            served_++;
        }
    }

private:
    std::unique_ptr<rpctest::Peer> peer_;
    std::atomic<int> served_{0};
};

template <typename Condition>
bool waitFor(Condition condition) {
    for (int i = 0; i < 1000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

}  // namespace

TEST(StressTest, SubmittersRacingFailuresAndReloadsCompleteEveryRequestOnce) {
    rpctest::ScriptedServer server;
    std::mutex clientMutex;
    std::shared_ptr<BrindleRPCClient> client = BrindleRPCClient::initWithSession(server.session());
    auto current = [&] {
        std::lock_guard lock(clientMutex);
        return client;
    };
    std::vector<std::atomic<int>> calls(kReloadThreads * kMaxPerThread);
    std::atomic<int> done{0};
    std::atomic<int> wrongReply{0};
    std::atomic<int> wireFaults{0};
    std::atomic<int> rounds{0};
    std::atomic<bool> roundStalled{false};
    std::atomic<int> finalChecks{0};
    std::atomic<int> succeededAfterFinalFailure{0};

    // Fails each connection once it has served its share, alternately by the server hanging up
    // and by a disconnect, and replaces the client as a reload does; meanwhile the submitters go on.
    std::thread chaos([&] {
        for (int round = 0; round < kReloadRounds && !roundStalled; ++round) {
            auto peer = server.accept();
            if (!peer) {
                roundStalled = true;
                break;
            }
            auto checking = std::make_shared<CheckingPeer>(std::move(peer));
            std::thread answering([&wireFaults, checking] { wireFaults += checking->serve(); });
            if (!waitFor([&] { return checking->served() >= kRequestsPerConnection; })) roundStalled = true;
            auto failing = current();
            if (round % 2 == 0) {
                checking->hangUp();
            } else {
                failing->disconnect();
            }
            {
                std::lock_guard lock(clientMutex);
                client = BrindleRPCClient::initWithSession(server.session());
            }
            answering.join();
            waitFor([&] { return !failing->isConnected(); });
            failing->ensureReadyWithCompletion([&](std::optional<Error> error) {
                if (!error) succeededAfterFinalFailure++;
                finalChecks++;
            });
            rounds++;
        }
        rounds = kReloadRounds;
    });

    std::vector<int> submitted(kReloadThreads);
    std::vector<std::thread> submitters;
    for (int t = 0; t < kReloadThreads; ++t) {
        submitters.emplace_back([&, t] {
            int i = 0;
            for (; i < kMaxPerThread && rounds.load() < kReloadRounds; ++i) {
                const int tag = t * kMaxPerThread + i;
                current()->performRequest({{"method", "ping"}, {"tag", tag}},
                                          [&, tag](std::optional<boost::json::object> response,
                                                   std::optional<Error> error) {
                                              if (!error && response->at("tag") != tag) wrongReply++;
                                              calls[tag]++;
                                              done++;
                                          });
                if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            submitted[t] = i;
        });
    }
    for (auto& thread : submitters) thread.join();
    chaos.join();
    current()->disconnect();  // nobody answers the last client: its queued requests fail here

    int total = 0;
    for (int count : submitted) total += count;
    ASSERT_TRUE(waitFor([&] { return done.load() == total && finalChecks.load() == kReloadRounds; }))
        << done.load() << " of " << total << ", final checks " << finalChecks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a second completion would show by now
    EXPECT_FALSE(roundStalled.load());
    for (int t = 0; t < kReloadThreads; ++t) {
        for (int i = 0; i < kMaxPerThread; ++i) ASSERT_EQ(calls[t * kMaxPerThread + i].load(), i < submitted[t] ? 1 : 0);
    }
    EXPECT_EQ(done.load(), total);
    EXPECT_EQ(wrongReply.load(), 0);
    EXPECT_EQ(wireFaults.load(), 0);
    EXPECT_EQ(succeededAfterFinalFailure.load(), 0);
}
