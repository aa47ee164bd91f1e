#include "host/fuse/cli/check_command.h"
#include "tests/module/rpc/scripted_server.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

using brindle::SessionFileTrust;
using brindle::host::runCheck;

namespace {

class CheckCommandTest : public ::testing::Test {
protected:
    std::string sessionFile() {
        return dir.write("session.json", R"({"session_id":"session-1","socket_path":")" + server.socketPath() +
                                             R"(","auth_token":"secret"})");
    }
    int check(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return runCheck(sessionFile(), SessionFileTrust::requirePrivate, out, err, limit);
    }

    testsupport::TempDir dir;
    rpctest::ScriptedServer server;
    std::ostringstream out;
    std::ostringstream err;
};

}  // namespace

TEST_F(CheckCommandTest, EveryStepIsTimedAndTheRootAndTheExtensionsAreShown) {
    std::thread serverThread([&] {
        auto peer = server.accept();
        if (!peer) return;
        auto handshake = peer->read();
        if (!handshake) return;
        peer->replyTo(*handshake, {{"ok", true}, {"session_id", "session-1"}, {"extensions", boost::json::array{"zeta", "alpha"}}});
        for (int i = 0; i < 3; ++i) {
            auto frame = peer->read();
            if (!frame) return;
            const auto method = frame->json.at("method").as_string();
            if (method == "get_root_attributes") {
                peer->replyTo(*frame, boost::json::parse(R"({"ok":true,"root_attrs":{"node_id":7,"parent_id":7,
                    "type":"directory","mode":493,"link_count":3,"uid":1,"gid":2,"size":4096,"alloc_size":4096,
                    "modify_time_sec":5,"modify_time_nsec":6,"change_time_sec":5,"change_time_nsec":6,
                    "access_time_sec":5,"access_time_nsec":6,"birth_time_sec":5,"birth_time_nsec":6}})").as_object());
            } else {
                peer->replyTo(*frame, {{"ok", true}, {"blocks", 10}});
            }
        }
    });
    EXPECT_EQ(check(), 0) << err.str();
    serverThread.join();
    const std::string text = out.str();
    for (const char* step : {"probe: ok (", "handshake: ok (", "ping: ok (", "get_root_attributes: ok (", "statfs: ok ("}) {
        EXPECT_NE(text.find(step), std::string::npos) << step << "\n" << text;
    }
    EXPECT_NE(text.find("node=7 type=directory mode=0755 links=3 uid=1 gid=2 size=4096"), std::string::npos) << text;
    EXPECT_NE(text.find("blocks=10"), std::string::npos) << text;
    EXPECT_NE(text.find(" extensions=alpha,zeta server=user "), std::string::npos) << text;
}

TEST_F(CheckCommandTest, ARejectedHandshakeNamesTheStep) {
    std::thread serverThread([&] {
        auto peer = server.accept();
        if (!peer) return;
        auto handshake = peer->read();
        if (handshake) peer->replyTo(*handshake, {{"ok", false}, {"errno", 13}, {"error", "wrong token"}});
    });
    EXPECT_EQ(check(), 1);
    serverThread.join();
    EXPECT_EQ(err.str(), "brindle: check failed at handshake: the server at " + server.socketPath() +
                             ": EACCES: wrong token (13)\n");
}

TEST_F(CheckCommandTest, AServerThatNeverAnswersIsGivenUpOn) {
    std::unique_ptr<rpctest::Peer> silent;
    std::thread serverThread([&] {
        silent = server.accept();
        if (silent) silent->acceptHandshake("session-1");
    });
    EXPECT_EQ(check(std::chrono::milliseconds(300)), 1);
    serverThread.join();
    EXPECT_EQ(err.str(), "brindle: check failed at ping: the server at " + server.socketPath() +
                             ": no answer within 300 ms, giving up\n");
}

TEST_F(CheckCommandTest, AnInvalidSessionFileFailsTheProbeStepNamingTheFileAndKey) {
    std::ostringstream out2, err2;
    const std::string path = dir.write("bad.json", R"({"session_id":"s","socket_path":"/x.sock","auth_token":""})");
    EXPECT_EQ(runCheck(path, SessionFileTrust::requirePrivate, out2, err2), 1);
    EXPECT_EQ(err2.str(), "brindle: check failed at probe: session file " + path +
                              ": EINVAL: \"auth_token\" is empty (22)\n");
}

TEST_F(CheckCommandTest, AMissingServerFailsTheHandshakeStep) {
    std::ostringstream out2, err2;
    const std::string path = dir.write("other.json", R"({"session_id":"s","socket_path":"/nonexistent/x.sock","auth_token":"t"})");
    EXPECT_EQ(runCheck(path, SessionFileTrust::requirePrivate, out2, err2), 1);
    EXPECT_NE(out2.str().find("probe: ok"), std::string::npos);
    EXPECT_EQ(err2.str(), "brindle: check failed at handshake: the server at /nonexistent/x.sock: ENOENT: No such "
                          "file or directory (2)\n"
                          "brindle: no server listens there. Once it runs again (a restarted brindle-server writes a "
                          "new session file), a mount of this session made with -o reconnect goes on by itself; other "
                          "mounts fail with EIO or ECONNRESET until they are unmounted and mounted again.\n");
}
