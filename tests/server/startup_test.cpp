#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "tests/server/server_fixture.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/un.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace servertest {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// What a server killed with SIGKILL leaves behind: a socket file nobody listens on.
void leaveDeadSocket(const std::string& path) {
    brindle::sdk::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
}

class StartupTest : public ServerFixture {
protected:
    void SetUp() override {}
};

TEST_F(StartupTest, ADeadServersSocketAndSessionFileAreReplaced) {
    leaveDeadSocket(sessionPath() + ".sock");
    std::ofstream(sessionPath()) << R"({"session_id":"old","socket_path":")" << sessionPath()
                                 << R"(.sock","auth_token":"old","volume_name":"","namedattr":false,"readonly":false})";
    startServer({});
    const auto session = foundation::json::parse(readFile(sessionPath())).value().as_object();
    EXPECT_EQ(session.at("session_id").as_string(), server->sessionID());
    EXPECT_TRUE(connect()->call({{"method", "ping"}})->ok());
}

TEST_F(StartupTest, ASessionFileThatIsNotASessionIsReplaced) {
    std::ofstream(sessionPath()) << "left over";
    startServer({});
    EXPECT_TRUE(connect()->call({{"method", "ping"}})->ok());
}

TEST_F(StartupTest, ALiveServersSocketAndSessionFileAreNeverReplaced) {
    startServer({});
    const std::string live = readFile(sessionPath());

    brindle::sdk::ServerSettings elsewhere;
    elsewhere.sessionFile = sessionPath();
    elsewhere.listen = "tcp://127.0.0.1:0";
    auto second = brindle::sdk::Server::start(*fileSystem, elsewhere);
    ASSERT_FALSE(second) << "a second server took over the session file of a live one";
    EXPECT_EQ(second.error().code(), brindle::sdk::Errno::eaddrinuse);

    elsewhere.listen.clear();
    auto third = brindle::sdk::Server::start(*fileSystem, elsewhere);
    ASSERT_FALSE(third);
    EXPECT_EQ(third.error().code(), brindle::sdk::Errno::eaddrinuse);

    EXPECT_EQ(readFile(sessionPath()), live);
    EXPECT_TRUE(connect()->call({{"method", "ping"}})->ok());
}

// Another user's file or socket where this server would announce itself is left alone and the
// server does not start: that user could read the token or catch the clients.
TEST_F(StartupTest, AnotherUsersObjectAtTheSessionFileOrSocketPathStopsTheStart) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
    ::mkdir(exportPath().c_str(), 0755);
    auto opened = brindle::passthrough::FileSystem::open(exportPath(), {});
    ASSERT_TRUE(opened) << brindle::sdk::describe(opened.error());
    brindle::sdk::ServerSettings settings;
    settings.sessionFile = sessionPath();

    std::ofstream(sessionPath()) << "planted";
    ASSERT_EQ(::chown(sessionPath().c_str(), 65534, 65534), 0);
    auto refused = brindle::sdk::Server::start(*opened.value(), settings);
    ASSERT_FALSE(refused) << "the server started over another user's session file";
    EXPECT_EQ(refused.error().code(), brindle::sdk::Errno::eperm);
    EXPECT_NE(refused.error().message().find(sessionPath() + " already exists and belongs to"), std::string::npos)
        << refused.error().message();
    EXPECT_EQ(readFile(sessionPath()), "planted");
    ASSERT_EQ(::unlink(sessionPath().c_str()), 0);

    const std::string socketPath = sessionPath() + ".sock";
    leaveDeadSocket(socketPath);
    ASSERT_EQ(::lchown(socketPath.c_str(), 65534, 65534), 0);
    refused = brindle::sdk::Server::start(*opened.value(), settings);
    ASSERT_FALSE(refused) << "the server replaced another user's socket";
    EXPECT_EQ(refused.error().code(), brindle::sdk::Errno::eperm);
    struct stat st {};
    ASSERT_EQ(::lstat(socketPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_NE(::access(sessionPath().c_str(), F_OK), 0) << "a session file was written for a server that did not start";
}

}  // namespace
}  // namespace servertest
