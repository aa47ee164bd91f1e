#include "tests/host/brindle_process.h"
#include "tests/module/rpc/scripted_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

using hosttest::CommandRun;
using hosttest::runBrindle;
using hosttest::runShell;

namespace {

// Every case here fails before anything is mounted, so none of them needs FUSE.
class MountCommandTest : public ::testing::Test {
protected:
    MountCommandTest() { ::mkdir(mountPoint.c_str(), 0755); }

    std::string sessionFor(const std::string& endpoint) {
        return dir.write("session.json",
                         R"({"session_id":"session-1","socket_path":")" + endpoint + R"(","auth_token":"tok-SECRET"})");
    }
    // A socket file with nobody listening on it.
    std::string deadSocket() {
        const std::string path = dir.file("dead.sock");
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
        return path;
    }

    testsupport::TempDir dir;
    const std::string mountPoint = dir.file("mnt");
};

}  // namespace

TEST_F(MountCommandTest, BadMountOptionsAreUsageErrorsNamedInFull) {
    const std::string session = sessionFor("/nowhere.sock");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"-o noexec,bogus", "brindle: unknown mount option 'bogus'\n"},
        {"-o uid=alice", "brindle: mount option 'uid=alice' needs a numeric user id\n"},
        {"-o umask=8", "brindle: mount option 'umask=8' needs an octal mask from 0 to 0777\n"},
        {"-o timeout=soon", "brindle: mount option 'timeout=soon' needs a number of seconds from 0 (no limit) to 86400\n"},
        {"-o allow_other,allow_root", "brindle: allow_other and allow_root cannot be combined\n"},
    };
    for (const auto& [options, message] : cases) {
        const CommandRun run = runBrindle(session + " " + mountPoint + " " + options);
        EXPECT_EQ(run.status, 2) << options;
        EXPECT_EQ(run.output, message + "Try 'brindle --help' for more information.\n");
    }
}

TEST_F(MountCommandTest, HelpListsTheMountOptions) {
    const CommandRun run = runBrindle("--help");
    EXPECT_EQ(run.status, 0);
    for (const char* line : {"  noexec, exec ", "  uid=N, gid=N ", "  umask=M ", "  auto_unmount ", "  kernel_cache ",
                             "  auto_cache ", "  allow_root ", "  max_read=BYTES ", "  timeout=S ",
                             "Any other mount option is refused.", "2 on a usage error"}) {
        EXPECT_NE(run.output.find(line), std::string::npos) << line;
    }
}

TEST_F(MountCommandTest, AMountPointThatIsNoDirectoryIsRefusedBeforeConnecting) {
    auto server = std::make_unique<rpctest::ScriptedServer>();
    const std::string session = sessionFor(server->socketPath());
    const std::string file = dir.write("plain", "x");
    CommandRun run = runBrindle(session + " " + file);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "brindle: mount failed: mount point " + file + ": ENOTDIR: Not a directory (20)\n");
    EXPECT_EQ(server->accept(std::chrono::milliseconds(100)), nullptr) << "the server was contacted";

    run = runBrindle(session + " " + dir.file("absent"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output,
              "brindle: mount failed: mount point " + dir.file("absent") + ": ENOENT: No such file or directory (2)\n");
}

TEST_F(MountCommandTest, RelativePathsAreNamedInFull) {
    const std::string file = dir.write("plain", "x");
    sessionFor("/nowhere.sock");
    const CommandRun run =
        runShell("cd " + dir.path() + " && " + BRINDLE_EXECUTABLE + " session.json ./x/../plain 2>&1");
    EXPECT_EQ(run.output, "brindle: mount failed: mount point " + file + ": ENOTDIR: Not a directory (20)\n");
}

TEST_F(MountCommandTest, ALoadThatCannotConnectNamesTheSocketAndTheLinuxError) {
    const std::string socket = deadSocket();
    CommandRun run = runBrindle(sessionFor(socket) + " " + mountPoint);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "brindle: load failed: cannot connect to " + socket + ": ECONNREFUSED: Connection refused (61)\n");

    run = runBrindle(sessionFor(dir.file("missing.sock")) + " " + mountPoint);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "brindle: load failed: cannot connect to " + dir.file("missing.sock") +
                              ": ENOENT: No such file or directory (2)\n");
}

TEST_F(MountCommandTest, ARefusedHandshakeNamesTheServerAndItsMessage) {
    rpctest::ScriptedServer server;
    std::thread serverThread([&] {
        auto peer = server.accept();
        if (!peer) return;
        auto handshake = peer->read();
        if (handshake) peer->replyTo(*handshake, {{"ok", false}, {"errno", 13}, {"error", "wrong token"}});
    });
    const CommandRun run = runBrindle(sessionFor(server.socketPath()) + " " + mountPoint);
    serverThread.join();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "brindle: load failed: the server at " + server.socketPath() + ": EACCES: wrong token (13)\n");
}

TEST_F(MountCommandTest, ASilentServerIsGivenUpOnAfterTheTimeoutOption) {
    rpctest::ScriptedServer server;
    std::unique_ptr<rpctest::Peer> silent;
    std::thread serverThread([&] { silent = server.accept(); });
    const auto began = std::chrono::steady_clock::now();
    const CommandRun run = runBrindle(sessionFor(server.socketPath()) + " " + mountPoint + " -o timeout=0.3");
    const auto took = std::chrono::steady_clock::now() - began;
    serverThread.join();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "brindle: load failed: no answer from the server at " + server.socketPath() +
                              " within 0.3 seconds\n");
    EXPECT_LT(took, std::chrono::seconds(5));
}

// A handshake that never completes: the mount waits for it without a bound until a signal ends it.
TEST_F(MountCommandTest, ASignalDuringAStalledHandshakeCancelsTheMount) {
    for (const bool foreground : {false, true}) {
        for (const int number : {SIGINT, SIGTERM}) {
            rpctest::ScriptedServer server;
            const std::string session = sessionFor(server.socketPath());
            std::vector<std::string> arguments{session, mountPoint, "-o", "timeout=0"};
            if (foreground) arguments.push_back("-f");
            hosttest::BrindleProcess brindle(arguments);
            auto silent = server.accept();
            ASSERT_NE(silent, nullptr);
            ASSERT_TRUE(silent->read()) << "the handshake did not come";
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ASSERT_TRUE(brindle.running()) << "it gave up by itself";
            brindle.signal(number);
            const CommandRun run = brindle.finish();
            EXPECT_EQ(run.status, 1) << foreground << " " << number;
            const std::string line = "brindle: mount on " + mountPoint + " cancelled by " +
                                     (number == SIGINT ? "SIGINT" : "SIGTERM") + "\n";
            EXPECT_NE(run.output.find(line), std::string::npos) << run.output;
        }
    }
}
