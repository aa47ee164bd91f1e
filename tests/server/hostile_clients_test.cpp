#include "tests/server/server_fixture.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

namespace servertest {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    }
    return -1;
}

void setReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
    timeval value{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
}

// Waits until the server has shut the connection down, without reading what is still queued for it.
bool hungUpWithin(int fd, std::chrono::milliseconds timeout) {
    pollfd descriptor{fd, POLLRDHUP, 0};
    return ::poll(&descriptor, 1, static_cast<int>(timeout.count())) == 1 && (descriptor.revents & (POLLRDHUP | POLLHUP));
}

uint64_t createFile(FrameClient& client, const std::string& name, const std::string& contents) {
    const auto made = client.call({{"method", "create_file"}, {"parent_id", 1}, {"name", name}, {"mode", 0644}});
    if (!made || !made->ok()) return 0;
    const uint64_t id = made->object.at("item_attrs").as_object().at("node_id").to_number<uint64_t>();
    client.call({{"method", "write"}, {"node_id", id}, {"offset", 0}, {"length", contents.size()}}, contents);
    return id;
}

class HostileClientsTest : public ServerFixture {
protected:
    void SetUp() override {}
};

TEST_F(HostileClientsTest, AClientThatNeverReadsDelaysNoOneAndIsDisconnectedAfterTheDeadline) {
    ServerSetup limits;
    limits.settings.limits.stallDeadline = 1500ms;
    startServer(limits);
    auto worker = connect();
    const std::string megabyte(1024 * 1024, 'm');
    const uint64_t file = createFile(*worker, "big", megabyte);
    ASSERT_NE(file, 0u);

    // Far more than the socket buffers hold, so replies pile up on the server's side.
    auto stalled = connect();
    for (int i = 0; i < 48; ++i) stalled->send({{"method", "read"}, {"node_id", file}, {"offset", 0}, {"length", megabyte.size()}});
    const auto stallStarted = Clock::now();
    std::optional<Clock::duration> disconnectedAfter;
    std::thread watcher([&] {
        if (hungUpWithin(stalled->fd(), 10s)) disconnectedAfter = Clock::now() - stallStarted;
    });

    setReceiveTimeout(worker->fd(), 5s);
    Clock::duration slowest{};
    while (Clock::now() - stallStarted < 2500ms) {
        const auto start = Clock::now();
        const auto data = worker->call({{"method", "read"}, {"node_id", file}, {"offset", 0}, {"length", megabyte.size()}});
        const auto pong = worker->call({{"method", "ping"}});
        if (!data || !pong) {
            ADD_FAILURE() << "a call got no answer within 5 s";
            break;
        }
        EXPECT_EQ(data->payload.size(), megabyte.size());
        EXPECT_TRUE(pong->ok());
        slowest = std::max(slowest, Clock::now() - start);
    }
    watcher.join();
    const auto milliseconds = [](Clock::duration duration) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
    };
    EXPECT_LT(slowest, 1s) << "a read and a ping took " << milliseconds(slowest) << " ms";
    RecordProperty("slowest_call_ms", std::to_string(milliseconds(slowest)));
    ASSERT_TRUE(disconnectedAfter) << "the stalled client is still connected";
    RecordProperty("stalled_disconnect_ms", std::to_string(milliseconds(*disconnectedAfter)));
    EXPECT_GE(*disconnectedAfter, 1400ms);
    EXPECT_LT(*disconnectedAfter, 3500ms);
    // What was already in the socket still arrives, then the stream ends before all 48 replies.
    setReceiveTimeout(stalled->fd(), 5s);
    int replies = 0;
    while (stalled->receive()) ++replies;
    EXPECT_LT(replies, 48);
    EXPECT_TRUE(worker->call({{"method", "ping"}})->ok());
}

TEST_F(HostileClientsTest, IdleUnauthenticatedConnectionsDoNotLockOutTheTokenHolder) {
    startServer({});
    std::vector<std::unique_ptr<FrameClient>> idle;
    for (int i = 0; i < 300; ++i) idle.push_back(connect(false));
    auto holder = connect();
    const uint64_t file = createFile(*holder, "notes", "written while 300 strangers wait");
    ASSERT_NE(file, 0u);
    const auto data = holder->call({{"method", "read"}, {"node_id", file}, {"offset", 0}, {"length", 100}});
    ASSERT_TRUE(data);
    EXPECT_EQ(data->payload, "written while 300 strangers wait");
    EXPECT_TRUE(holder->call({{"method", "ping"}})->ok());
}

TEST_F(HostileClientsTest, WhenUnauthenticatedPlacesRunOutTheOldestStrangerMakesRoom) {
    ServerSetup limits;
    limits.settings.limits.maxUnauthenticated = 8;
    startServer(limits);
    std::vector<std::unique_ptr<FrameClient>> idle;
    for (int i = 0; i < 20; ++i) idle.push_back(connect(false));
    auto holder = connect();
    EXPECT_TRUE(holder->call({{"method", "ping"}})->ok());
    EXPECT_TRUE(idle.front()->closedByServer());
}

TEST_F(HostileClientsTest, AHugeHeaderBeforeTheHandshakeClosesTheConnectionWithoutAllocatingItsBody) {
    startServer({});
    const long before = residentKiB();
    std::vector<std::unique_ptr<FrameClient>> attackers;
    for (int i = 0; i < 16; ++i) {
        attackers.push_back(connect(false));
        attackers.back()->sendBytes(header(16 * 1024 * 1024, 0) + "{\"method\":\"handshake\"");
    }
    for (auto& attacker : attackers) EXPECT_TRUE(attacker->closedByServer());
    const long grown = residentKiB() - before;
    RecordProperty("rss_growth_kib", std::to_string(grown));
    EXPECT_LT(grown, 16 * 1024) << "resident memory grew by " << grown << " KiB";

    // A frame above the small limit that holds before the handshake closes too, even when whole.
    auto wordy = connect(false);
    const std::string padding(5000, ' ');
    const std::string json = "{\"method\":\"handshake\",\"auth_token\":\"" + server->authToken() + "\"}" + padding;
    wordy->sendBytes(header(static_cast<uint32_t>(json.size()), 0) + json);
    EXPECT_TRUE(wordy->closedByServer());
}

TEST_F(HostileClientsTest, TheHandshakeDeadlineClosesIdleStrangersButNotAuthenticatedClients) {
    ServerSetup limits;
    limits.settings.limits.handshakeDeadline = 300ms;
    startServer(limits);
    auto holder = connect();
    const auto start = Clock::now();
    auto silent = connect(false);
    auto halfway = connect(false);
    halfway->sendBytes(header(60, 0) + "{\"method\":\"hand");
    EXPECT_TRUE(silent->closedByServer());
    EXPECT_TRUE(halfway->closedByServer());
    EXPECT_GE(Clock::now() - start, 250ms);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(holder->call({{"method", "ping"}})->ok());
}

TEST_F(HostileClientsTest, AFullServerRefusesTheHandshakeUntilAClientLeaves) {
    ServerSetup limits;
    limits.settings.limits.maxClients = 2;
    startServer(limits);
    auto first = connect();
    auto second = connect();
    FrameClient third(server->endpoint());
    const auto refused = third.call({{"method", "handshake"}, {"auth_token", server->authToken()}});
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->ok());
    EXPECT_EQ(refused->errnoCode(), 35);
    EXPECT_TRUE(third.closedByServer());

    first.reset();
    const auto deadline = Clock::now() + 5s;
    bool admitted = false;
    while (!admitted && Clock::now() < deadline) {
        FrameClient next(server->endpoint());
        const auto answer = next.call({{"method", "handshake"}, {"auth_token", server->authToken()}});
        admitted = answer && answer->ok();
        if (!admitted) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(admitted);
    EXPECT_TRUE(second->call({{"method", "ping"}})->ok());
}

TEST_F(HostileClientsTest, AHandshakeThatArrivesInPiecesOverTCPIsAcceptedAndWhatFollowsItIsServed) {
    ServerSetup options;
    options.settings.listen = "tcp://127.0.0.1:0";
    startServer(options);
    FrameClient client(server->endpoint());
    ASSERT_TRUE(client.connected());
    const int on = 1;
    ::setsockopt(client.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const std::string handshake =
        "{\"method\":\"handshake\",\"auth_token\":\"" + server->authToken() + "\",\"request_id\":7}";
    const std::string ping = "{\"method\":\"ping\",\"request_id\":8}";
    // The ping follows in the last piece, so the server must stop reading at the handshake's end.
    const std::string bytes = header(static_cast<uint32_t>(handshake.size()), 0) + handshake +
                              header(static_cast<uint32_t>(ping.size()), 0) + ping;
    const size_t split = 8 + handshake.size() - 3;
    for (size_t i = 0; i < split; i += 7) {
        client.sendBytes(bytes.substr(i, std::min<size_t>(7, split - i)));
        std::this_thread::sleep_for(1ms);
    }
    client.sendBytes(bytes.substr(split));
    const auto accepted = client.receive();
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(accepted->ok());
    EXPECT_EQ(accepted->object.at("request_id").to_number<int>(), 7);
    const auto pong = client.receive();
    ASSERT_TRUE(pong);
    EXPECT_TRUE(pong->ok());
    EXPECT_EQ(pong->object.at("request_id").to_number<int>(), 8);
}

TEST_F(HostileClientsTest, PipelinedLargeReadsNeverTakenHoldTheServerToItsReplyBound) {
    startServer({});
    auto worker = connect();
    const std::string sixteenMegabytes(16u << 20, 'r');
    std::ofstream(exportPath() + "/huge") << sixteenMegabytes;
    const uint64_t file = lookup(*worker, 1, "huge");
    ASSERT_NE(file, 0u);
    const long before = residentKiB();
    auto flooding = connect();
    for (int i = 0; i < 64; ++i) flooding->send({{"method", "read"}, {"node_id", file}, {"offset", 0}, {"length", 16u << 20}});
    std::this_thread::sleep_for(2s);
    const long grown = residentKiB() - before;
    RecordProperty("rss_growth_kib", std::to_string(grown));
    EXPECT_LT(grown, 256 * 1024) << "64 untaken 16 MiB reads grew resident memory by " << grown << " KiB";
    setReceiveTimeout(worker->fd(), 5s);
    const auto start = Clock::now();
    const auto small = worker->call({{"method", "read"}, {"node_id", file}, {"offset", 0}, {"length", 4096}});
    ASSERT_TRUE(small);
    EXPECT_EQ(small->payload.size(), 4096u);
    EXPECT_LT(Clock::now() - start, 2s);

    // Each reply alone is larger than the bound; as they are taken, the paused requests are read
    // again. The client then leaves with the rest in flight, which the server lets go of.
    setReceiveTimeout(flooding->fd(), 10s);
    for (int i = 0; i < 8; ++i) {
        const auto reply = flooding->receive();
        ASSERT_TRUE(reply) << "reply " << i << " never came";
        EXPECT_GT(reply->payload.size(), 8u << 20);
    }
}

}  // namespace
}  // namespace servertest
