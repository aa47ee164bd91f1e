#include "server/listener.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

namespace brindle::server {
namespace {

TEST(ServerListener, LoopbackTCPNamesTheRealPort) {
    auto listener = Listener::listen("tcp://127.0.0.1:0", false);
    ASSERT_TRUE(listener) << listener.error().description();
    const std::string& endpoint = listener.value().endpoint();
    EXPECT_TRUE(endpoint.starts_with("tcp://127.0.0.1:"));
    EXPECT_NE(endpoint, "tcp://127.0.0.1:0");
    EXPECT_FALSE(listener.value().isRemote());
}

TEST(ServerListener, RemoteAddressesNeedExplicitPermission) {
    auto refused = Listener::listen("tcp://0.0.0.0:0", false);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code(), 1);
    auto allowed = Listener::listen("tcp://0.0.0.0:0", true);
    ASSERT_TRUE(allowed);
    EXPECT_TRUE(allowed.value().isRemote());
}

TEST(ServerListener, RefusesBadAddresses) {
    const std::vector<std::string> endpoints{"tcp://127.0.0.1", "tcp://:80", "tcp://127.0.0.1:", "ftp://x", "unix:",
                                             "unix:/" + std::string(200, 'a')};
    for (const std::string& endpoint : endpoints) {
        EXPECT_FALSE(Listener::listen(endpoint, false)) << endpoint;
    }
}

TEST(ServerListener, UnixSocketsReplaceOnlyDeadSocketFiles) {
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

}  // namespace
}  // namespace brindle::server
