#include "protocol/framing.h"
#include "sdk/cpp/transport/outbox.h"
#include "brindle/unique_fd.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace brindle::sdk {
namespace {

using namespace std::chrono_literals;

struct SocketPair {
    UniqueFd server;
    UniqueFd client;

    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            server = UniqueFd(fds[0]);
            client = UniqueFd(fds[1]);
        }
        // A small buffer, so that most replies are written in parts and wait in the outbox.
        const int size = 16 * 1024;
        ::setsockopt(server.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        // A lost or mangled frame fails the read instead of hanging it.
        const timeval timeout{5, 0};
        ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
};

TEST(SdkOutbox, RepliesFromManyThreadsArriveWholeWhileTheClientReadsSlowly) {
    SocketPair pair;
    Outbox outbox(pair.server.get(), 10s);
    std::thread writer([&] { outbox.runWriter(); });

    constexpr int kThreads = 4;
    constexpr int kRepliesEach = 200;
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&outbox, t] {
            for (int i = 0; i < kRepliesEach; ++i) {
                const std::string id = std::to_string(t * kRepliesEach + i);
                // Payloads of every size from none to several socket buffers.
                outbox.push("{\"request_id\":" + id + "}", std::string(static_cast<size_t>(i * 397 % 70000), id.back()));
            }
        });
    }
    std::set<int> seen;
    for (int n = 0; n < kThreads * kRepliesEach; ++n) {
        if (n % 50 == 0) std::this_thread::sleep_for(2ms);
        auto frame = framing::readFramedMessage(pair.client.get(), nullptr);
        ASSERT_TRUE(frame) << frame.error().description();
        const int id = frame.value().response.at("request_id").to_number<int>();
        const int i = id % kRepliesEach;
        const std::string& payload = *frame.value().payload;
        ASSERT_EQ(payload.size(), static_cast<size_t>(i * 397 % 70000)) << "reply " << id;
        EXPECT_EQ(payload.find_first_not_of(std::to_string(id).back()), std::string::npos) << "reply " << id;
        EXPECT_TRUE(seen.insert(id).second);
    }
    for (auto& worker : workers) worker.join();
    outbox.finish();
    writer.join();
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kRepliesEach));
}

TEST(SdkOutbox, AClientThatTakesNothingIsCutOffAtTheDeadlineAndNoPushWaitsForIt) {
    SocketPair pair;
    Outbox outbox(pair.server.get(), 300ms);
    std::thread writer([&] { outbox.runWriter(); });
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 64; ++i) outbox.push("{}", std::string(64 * 1024, 'x'));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms) << "a push waited for the client";
    EXPECT_FALSE(outbox.waitForRoom(1024)) << "the outbox stayed open";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
    writer.join();
    pollfd descriptor{pair.client.get(), POLLRDHUP, 0};
    EXPECT_EQ(::poll(&descriptor, 1, 0), 1) << "the client was not hung up on";
}

}  // namespace
}  // namespace brindle::sdk
