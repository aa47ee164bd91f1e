#include "module/rpc/BrindleRPCClient.h"
#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "tests/module/rpc/scripted_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

// Replies' completions run on the socket's reader: what they may do there without stalling it.
using brindle::BrindleRPCClient;
using foundation::Error;
using rpctest::Await;
using rpctest::Frame;
namespace darwin = foundation::darwin;

namespace {

using Outcome = std::pair<std::optional<boost::json::object>, std::optional<Error>>;

std::shared_ptr<Await<Outcome>> awaitOutcome(BrindleRPCClient& client, boost::json::object request,
                                             std::optional<std::string> payload = std::nullopt) {
    auto done = std::make_shared<Await<Outcome>>();
    client.performRequest(std::move(request), std::move(payload),
                          [done](std::optional<boost::json::object> response, std::optional<std::string>,
                                 std::optional<Error> error) { done->set({std::move(response), std::move(error)}); });
    return done;
}

std::string replyBytes(const Frame& request, boost::json::object json) {
    json["request_id"] = request.json.at("request_id");
    return rpctest::rawFrame(foundation::json::serialize(json));
}

class ReplyDeliveryTest : public ::testing::Test {
protected:
    std::unique_ptr<rpctest::Peer> connect() { return rpctest::connectAccepted(server, *client); }

    rpctest::ScriptedServer server;
    std::shared_ptr<BrindleRPCClient> client = BrindleRPCClient::initWithSession(server.session());
};

}  // namespace

TEST_F(ReplyDeliveryTest, RepliesReadTogetherCompleteOnceEachInOrderWhileOneChainsARequest) {
    auto peer = connect();
    ASSERT_TRUE(peer);
    constexpr int kReplies = 6;
    std::mutex mutex;
    std::vector<int> order;
    auto chained = std::make_shared<Await<Outcome>>();
    std::vector<Frame> frames;
    for (int tag = 0; tag < kReplies; ++tag) {
        client->performRequest({{"method", "ping"}, {"tag", tag}},
                               [&, tag, chained](std::optional<boost::json::object> response, std::optional<Error>) {
                                   {
                                       std::lock_guard lock(mutex);
                                       order.push_back(response ? static_cast<int>(response->at("tag").as_int64()) : -1);
                                   }
                                   if (tag != 2) return;
                                   client->performRequest({{"method", "ping"}, {"tag", "chained"}},
                                                          [chained](std::optional<boost::json::object> reply,
                                                                    std::optional<Error> error) {
                                                              chained->set({std::move(reply), std::move(error)});
                                                          });
                                   std::this_thread::sleep_for(std::chrono::milliseconds(20));
                               });
        auto frame = peer->read();
        ASSERT_TRUE(frame);
        frames.push_back(*frame);
    }
    std::string together;
    for (const Frame& frame : frames) together += replyBytes(frame, {{"ok", true}, {"tag", frame.json.at("tag")}});
    peer->writeRaw(together);

    auto chainedFrame = peer->read();
    ASSERT_TRUE(chainedFrame);
    EXPECT_EQ(chainedFrame->json.at("tag"), "chained");
    peer->replyTo(*chainedFrame, {{"ok", true}});
    const auto outcome = chained->get();
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->second);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a second completion would show by now
    std::lock_guard lock(mutex);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST_F(ReplyDeliveryTest, AChainedRequestLargerThanTheSocketBuffersNeverHoldsUpTheReader) {
    // The peer reads nothing while the chained frame is written: a reader that wrote it itself
    // would sit in that write, and the next reply would never be read.
    auto peer = connect();
    ASSERT_TRUE(peer);
    auto large = std::make_shared<std::shared_ptr<Await<Outcome>>>();
    client->performRequest({{"method", "ping"}}, [this, large](std::optional<boost::json::object>, std::optional<Error>) {
        *large = awaitOutcome(*client, {{"method", "write"}}, std::string(12 << 20, 'w'));
    });
    auto second = awaitOutcome(*client, {{"method", "ping"}, {"tag", "second"}});
    auto first = peer->read();
    auto secondFrame = peer->read();
    ASSERT_TRUE(first && secondFrame);
    peer->replyTo(*first, {{"ok", true}});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer->replyTo(*secondFrame, {{"ok", true}});
    const auto secondOutcome = second->get();
    ASSERT_TRUE(secondOutcome);
    EXPECT_FALSE(secondOutcome->second);

    auto writeFrame = peer->read();
    ASSERT_TRUE(writeFrame);
    EXPECT_EQ(writeFrame->payload.size(), size_t{12} << 20);
    peer->replyTo(*writeFrame, {{"ok", true}});
    ASSERT_TRUE(*large);
    const auto largeOutcome = (*large)->get();
    ASSERT_TRUE(largeOutcome);
    EXPECT_FALSE(largeOutcome->second);
}

TEST_F(ReplyDeliveryTest, AFailureWhileTheReaderRunsACompletionFailsTheOthersAtOnceAndOnce) {
    auto peer = connect();
    ASSERT_TRUE(peer);
    std::promise<void> entered;
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<int> blockedCalls{0};
    client->performRequest({{"method", "ping"}}, [&, released](std::optional<boost::json::object>, std::optional<Error>) {
        ++blockedCalls;
        entered.set_value();
        released.wait();
    });
    std::atomic<int> otherCalls{0};
    auto other = std::make_shared<Await<Outcome>>();
    client->performRequest({{"method", "ping"}},
                           [&otherCalls, other](std::optional<boost::json::object> response, std::optional<Error> error) {
                               if (++otherCalls == 1) other->set({std::move(response), std::move(error)});
                           });
    auto first = peer->read();
    auto second = peer->read();
    ASSERT_TRUE(first && second);
    peer->replyTo(*first, {{"ok", true}});
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);

    client->disconnect();
    // Delivered while the reader is still held: a failure's completions do not queue behind it.
    const auto failed = other->get();
    peer->replyTo(*second, {{"ok", true}});
    release.set_value();
    ASSERT_TRUE(failed);
    ASSERT_TRUE(failed->second);
    EXPECT_EQ(failed->second->code(), darwin::ecanceled);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a second completion would show by now
    EXPECT_EQ(blockedCalls.load(), 1);
    EXPECT_EQ(otherCalls.load(), 1);
}

TEST_F(ReplyDeliveryTest, TheLastCopyOfTheClientLetGoInACompletionDisconnectsWithoutJoiningTheReader) {
    auto peer = connect();
    ASSERT_TRUE(peer);
    auto done = std::make_shared<Await<bool>>();
    client->performRequest({{"method", "ping"}}, [held = client, done](std::optional<boost::json::object> response,
                                                                        std::optional<Error>) {
        done->set(response.has_value());
    });
    client.reset();
    auto frame = peer->read();
    ASSERT_TRUE(frame);
    peer->replyTo(*frame, {{"ok", true}});
    EXPECT_EQ(done->get(), std::optional<bool>(true));
    // The client hangs up once the completion, the last holder, is gone.
    pollfd hangUp{peer->fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&hangUp, 1, 3000), 1);
    char byte = 0;
    EXPECT_EQ(::recv(peer->fd(), &byte, 1, MSG_DONTWAIT), 0);
}

TEST_F(ReplyDeliveryTest, RequestsChainedFromTheReaderRacingAHangUpCompleteOnceEach) {
    // Chained frames are large, so the reader's writes stop part-way and the writer queue finishes
    // them, while the server hangs up after a while: every request still completes exactly once.
    auto peer = connect();
    ASSERT_TRUE(peer);
    constexpr int kFirst = 200;
    const std::string payload(256 << 10, 'c');
    std::vector<std::atomic<int>> firstCalls(kFirst);
    std::vector<std::atomic<int>> chainedCalls(kFirst);
    std::atomic<int> chainedSubmitted{0};
    std::atomic<int> done{0};
    std::thread answering([&] {
        for (int answered = 0; answered < kFirst; ++answered) {
            auto frame = peer->read();
            if (!frame) return;
            peer->replyTo(*frame, {{"ok", true}});
        }
        ::shutdown(peer->fd(), SHUT_RDWR);
    });
    for (int tag = 0; tag < kFirst; ++tag) {
        client->performRequest({{"method", "ping"}}, [&, tag](std::optional<boost::json::object>, std::optional<Error> error) {
            firstCalls[tag]++;
            if (!error) {
                chainedSubmitted++;
                client->performRequest({{"method", "write"}}, payload,
                                       [&, tag](std::optional<boost::json::object>, std::optional<std::string>,
                                                std::optional<Error>) {
                                           chainedCalls[tag]++;
                                           done++;
                                       });
            }
            done++;
        });
    }
    answering.join();
    for (int i = 0; i < 1000 && done.load() < kFirst + chainedSubmitted.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a second completion would show by now
    EXPECT_GT(chainedSubmitted.load(), 0);
    EXPECT_EQ(done.load(), kFirst + chainedSubmitted.load());
    int chained = 0;
    for (int tag = 0; tag < kFirst; ++tag) {
        EXPECT_EQ(firstCalls[tag].load(), 1) << tag;
        EXPECT_LE(chainedCalls[tag].load(), 1) << tag;
        chained += chainedCalls[tag].load();
    }
    EXPECT_EQ(chained, chainedSubmitted.load());
}

TEST_F(ReplyDeliveryTest, AnExchangeObserverSeesEachReplyWithItsRequestBeforeTheCompletion) {
    struct Seen {
        boost::json::object request;
        boost::json::object reply;
        size_t payloadSize;
    };
    std::mutex mutex;
    std::vector<Seen> seen;
    client->setExchangeObserver([&](const boost::json::object& request, const boost::json::object& reply,
                                    size_t payloadSize) {
        std::lock_guard lock(mutex);
        seen.push_back({request, reply, payloadSize});
    });
    auto peer = connect();
    ASSERT_TRUE(peer);

    auto observedAtCompletion = std::make_shared<Await<size_t>>();
    client->readFileWithNodeID(7, 0, 5, [&, observedAtCompletion](std::optional<std::string>, std::optional<Error>) {
        std::lock_guard lock(mutex);
        observedAtCompletion->set(seen.size());
    });
    auto read = peer->read();
    ASSERT_TRUE(read);
    peer->replyTo(*read, {{"ok", true}}, "bytes");
    EXPECT_EQ(observedAtCompletion->get(), std::optional<size_t>(1));

    auto buffer = std::make_shared<fskit::FSMutableFileDataBuffer>(3);
    auto counted = std::make_shared<Await<uint64_t>>();
    client->readFileWithNodeID(7, 0, 5, buffer, [counted](uint64_t count, std::optional<Error>) { counted->set(count); });
    read = peer->read();
    ASSERT_TRUE(read);
    peer->replyTo(*read, {{"ok", true}}, "bytes");
    EXPECT_EQ(counted->get(), std::optional<uint64_t>(3));

    std::lock_guard lock(mutex);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].request.at("method"), "read");
    EXPECT_EQ(seen[0].request.at("request_id"), seen[0].reply.at("request_id"));
    EXPECT_EQ(seen[0].payloadSize, 5u);
    EXPECT_EQ(seen[1].payloadSize, 3u) << "a direct read counts the bytes placed in the buffer";
}
