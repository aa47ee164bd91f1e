#include "sdk/cpp/transport/listener.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <sys/un.h>

#include <cstring>
#include <fstream>
#include <future>
#include <thread>

namespace brindle::sdk {
namespace {

TEST(SdkListener, LoopbackTCPNamesTheRealPort) {
    auto listener = Listener::listen("tcp://127.0.0.1:0", false);
    ASSERT_TRUE(listener) << listener.error().description();
    const std::string& endpoint = listener.value().endpoint();
    EXPECT_TRUE(endpoint.starts_with("tcp://127.0.0.1:"));
    EXPECT_NE(endpoint, "tcp://127.0.0.1:0");
    EXPECT_FALSE(listener.value().isRemote());
}

TEST(SdkListener, AcceptedTCPConnectionsSendEachReplyAtOnceWithRoomForALargeOne) {
    auto listener = Listener::listen("tcp://127.0.0.1:0", false);
    ASSERT_TRUE(listener) << listener.error().description();
    const std::string& endpoint = listener.value().endpoint();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(endpoint.substr(endpoint.rfind(':') + 1))));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    UniqueFd client(::socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    auto next = listener.value().accept();
    ASSERT_TRUE(next && next.value().valid());
    const UniqueFd accepted = std::move(next.value());

    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    ASSERT_EQ(::getsockopt(accepted.get(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_NE(noDelay, 0) << "Nagle would hold a reply's last segment for the client's delayed acknowledgement";
    int sendBuffer = 0;
    size = sizeof sendBuffer;
    ASSERT_EQ(::getsockopt(accepted.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, &size), 0);
    EXPECT_GT(sendBuffer, 212992) << "larger than the kernel's default";
}

TEST(SdkListener, RemoteAddressesNeedExplicitPermission) {
    auto refused = Listener::listen("tcp://0.0.0.0:0", false);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code(), 1);
    auto allowed = Listener::listen("tcp://0.0.0.0:0", true);
    ASSERT_TRUE(allowed);
    EXPECT_TRUE(allowed.value().isRemote());
}

TEST(SdkListener, RefusesBadAddresses) {
    const std::vector<std::string> endpoints{"tcp://127.0.0.1", "tcp://:80", "tcp://127.0.0.1:", "ftp://x", "unix:",
                                             "unix:/" + std::string(200, 'a')};
    for (const std::string& endpoint : endpoints) {
        EXPECT_FALSE(Listener::listen(endpoint, false)) << endpoint;
    }
}

TEST(SdkListener, UnixSocketsReplaceOnlyDeadSocketFiles) {
    testsupport::TempDir directory;
    const std::string path = directory.file("s.sock");
    {
        auto first = Listener::listen("unix:" + path, false);
        ASSERT_TRUE(first);
        auto second = Listener::listen("unix:" + path, false);
        ASSERT_FALSE(second);
        EXPECT_EQ(second.error().code(), 48);
    }
    struct stat st {};
    EXPECT_NE(::stat(path.c_str(), &st), 0);

    std::ofstream(path) << "not a socket";
    EXPECT_FALSE(Listener::listen("unix:" + path, false));
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
}

TEST(SdkListener, ASocketWhoseServerIsTooBusyToAcceptIsStillLive) {
    testsupport::TempDir directory;
    const std::string path = directory.file("busy.sock");
    auto live = Listener::listen("unix:" + path, false);
    ASSERT_TRUE(live);
    // Fill the queue of connections that the live server has not accepted yet.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    std::vector<UniqueFd> waiting;
    for (int i = 0; i < 1000; ++i) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) break;
        waiting.push_back(std::move(fd));
    }
    ASSERT_LT(waiting.size(), 1000u);

    std::promise<std::optional<int>> outcome;
    auto answered = outcome.get_future();
    std::thread second([&outcome, &path] {
        auto listener = Listener::listen("unix:" + path, false);
        outcome.set_value(listener ? std::nullopt : std::optional<int>(listener.error().code()));
    });
    const bool inTime = answered.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    if (!inTime) live.value().close();  // lets a probe stuck in connect go
    second.join();
    ASSERT_TRUE(inTime) << "the start waited for the busy server";
    EXPECT_EQ(answered.get(), std::optional<int>(48));
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
}

}  // namespace
}  // namespace brindle::sdk
