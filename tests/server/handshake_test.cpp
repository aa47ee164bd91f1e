#include "platform/foundation/json.h"
#include "tests/server/server_fixture.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace servertest {
namespace {

boost::json::object readSession(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return foundation::json::parse(text.str()).value().as_object();
}

using HandshakeTest = ServerFixture;

TEST_F(HandshakeTest, SessionFileNamesTheListeningSocketWithAFreshToken) {
    struct stat st {};
    ASSERT_EQ(::stat(sessionPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const auto session = readSession(sessionPath());
    EXPECT_EQ(session.at("socket_path").as_string(), server->endpoint());
    EXPECT_EQ(session.at("session_id").as_string(), server->sessionID());
    EXPECT_GE(session.at("auth_token").as_string().size(), 32u);  // at least 128 bits as hex
    EXPECT_FALSE(session.at("readonly").as_bool());
    ASSERT_EQ(::stat(server->endpoint().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const std::string firstToken = server->authToken();
    const std::string firstSession = server->sessionID();
    startServer({});
    EXPECT_NE(server->authToken(), firstToken);
    EXPECT_NE(server->sessionID(), firstSession);
}

TEST_F(HandshakeTest, StoppingRemovesSocketAndSessionFile) {
    const std::string socket = server->endpoint();
    server->stop();
    struct stat st {};
    EXPECT_NE(::stat(socket.c_str(), &st), 0);
    EXPECT_NE(::stat(sessionPath().c_str(), &st), 0);
}

TEST_F(HandshakeTest, SwitchesAreWrittenIntoTheSessionFile) {
    ServerSetup options;
    options.fileSystem.readonly = true;
    options.fileSystem.namedattr = true;
    options.settings.volumeName = "Shared";
    startServer(options);
    const auto session = readSession(sessionPath());
    EXPECT_TRUE(session.at("readonly").as_bool());
    EXPECT_TRUE(session.at("namedattr").as_bool());
    EXPECT_EQ(session.at("volume_name").as_string(), "Shared");
}

TEST_F(HandshakeTest, AcceptedHandshakeEchoesTheSessionAndRequestID) {
    FrameClient client(server->endpoint());
    const auto answer = client.call({{"method", "handshake"}, {"auth_token", server->authToken()}});
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->ok());
    EXPECT_EQ(answer->object.at("session_id").as_string(), server->sessionID());
    EXPECT_EQ(answer->object.at("request_id").to_number<uint64_t>(), 1u);
    EXPECT_TRUE(client.call({{"method", "ping"}})->ok());
}

TEST_F(HandshakeTest, TheReplyListsTheBackendsAndTheConfiguredExtensionsAndAnEmptyListWhereThereAreNone) {
    const auto extensionsAdvertised = [&] {
        FrameClient client(server->endpoint());
        const auto answer = client.call({{"method", "handshake"}, {"auth_token", server->authToken()}});
        return answer ? answer->object.at("extensions") : boost::json::value();
    };
    // The backend's own first, then the configured ones in their order.
    EXPECT_EQ(extensionsAdvertised(), (boost::json::array{"create_opens", "open_directory_record", "change_notices", "append",
                                                          "locks", "post_op_records", "listing_in_open", "forget", "export_watched"}));
    ServerSetup options;
    options.settings.extensions = {"b_ext", "a_ext"};
    startServer(options);
    EXPECT_EQ(extensionsAdvertised(),
              (boost::json::array{"create_opens", "open_directory_record", "change_notices", "append", "locks",
                                  "post_op_records", "listing_in_open", "forget", "export_watched", "b_ext", "a_ext"}));
    // Without the notices, the promise about them goes too.
    ServerSetup withoutNotices;
    withoutNotices.settings.withheldExtensions = {"change_notices"};
    startServer(withoutNotices);
    EXPECT_EQ(extensionsAdvertised(),
              (boost::json::array{"create_opens", "open_directory_record", "append", "locks", "post_op_records", "listing_in_open",
                                  "forget"}));
    ServerSetup withholding;
    withholding.settings.withheldExtensions = {"create_opens", "open_directory_record", "change_notices", "append", "locks",
                                               "post_op_records", "listing_in_open", "forget", "export_watched"};
    startServer(withholding);
    EXPECT_EQ(extensionsAdvertised(), boost::json::array());
}

TEST_F(HandshakeTest, AServerRefusesToStartWithAnExtensionNameNoClientCouldRead) {
    server.reset();
    brindle::sdk::ServerSettings settings;
    settings.sessionFile = sessionPath();
    settings.extensions = {"good_name", "Bad Name"};
    const auto started = brindle::sdk::Server::start(*fileSystem, settings);
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().code(), brindle::sdk::Errno::einval);
    EXPECT_NE(started.error().message().find("\"Bad Name\" cannot name an extension"), std::string::npos)
        << started.error().message();
    struct stat st {};
    EXPECT_NE(::stat(sessionPath().c_str(), &st), 0);
}

TEST_F(HandshakeTest, AWithheldExtensionIsNotAdvertisedAndOnlyAnImplementedOneCanBeWithheld) {
    server.reset();
    struct ExtendedBackend : brindle::sdk::Backend {
        brindle::sdk::Capabilities capabilities() const override { return {false, false, {"first_ext", "second_ext"}}; }
    } backend;
    brindle::sdk::ServerSettings settings;
    settings.sessionFile = sessionPath();
    settings.withheldExtensions = {"first_ext"};
    auto started = brindle::sdk::Server::start(backend, settings);
    ASSERT_TRUE(started) << started.error().message();
    {
        FrameClient client(started.value()->endpoint());
        const auto answer = client.call({{"method", "handshake"}, {"auth_token", started.value()->authToken()}});
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->object.at("extensions"), (boost::json::array{"second_ext"}));
    }
    started.value()->stop();

    settings.withheldExtensions = {"third_ext"};
    const auto refused = brindle::sdk::Server::start(backend, settings);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message().find("cannot withhold extension \"third_ext\": this server implements first_ext, second_ext"),
              std::string::npos)
        << refused.error().message();
}

TEST_F(HandshakeTest, WrongTokensAreRefusedWithEpermAndTheConnectionClosed) {
    std::string nearMiss = server->authToken();
    nearMiss.back() = nearMiss.back() == 'a' ? 'b' : 'a';
    const std::vector<boost::json::object> attempts{
        {{"method", "handshake"}, {"auth_token", nearMiss}},
        {{"method", "handshake"}, {"auth_token", server->authToken() + "0"}},
        {{"method", "handshake"}, {"auth_token", ""}},
        {{"method", "handshake"}, {"auth_token", 42}},
        {{"method", "handshake"}},
    };
    for (const auto& attempt : attempts) {
        FrameClient client(server->endpoint());
        const auto answer = client.call(attempt);
        ASSERT_TRUE(answer) << foundation::json::serialize(attempt);
        EXPECT_FALSE(answer->ok());
        EXPECT_EQ(answer->errnoCode(), 1);
        EXPECT_TRUE(answer->object.at("error").is_string());
        EXPECT_FALSE(answer->object.contains("session_id"));
        EXPECT_TRUE(client.closedByServer());
    }
}

TEST_F(HandshakeTest, RequestsBeforeTheHandshakeAreRefusedAndTheConnectionClosed) {
    std::ofstream(exportPath() + "/secret.txt") << "data";
    FrameClient client(server->endpoint());
    const auto answer = client.call({{"method", "lookup"}, {"parent_id", 1}, {"name", "secret.txt"}});
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->ok());
    EXPECT_EQ(answer->errnoCode(), 1);
    EXPECT_FALSE(answer->object.contains("lookup_item"));
    EXPECT_TRUE(client.closedByServer());
}

TEST_F(HandshakeTest, ASecondHandshakeIsRefusedButTheConnectionStays) {
    auto client = connect();
    const auto again = client->call({{"method", "handshake"}, {"auth_token", server->authToken()}});
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->ok());
    EXPECT_TRUE(client->call({{"method", "ping"}})->ok());
}

}  // namespace
}  // namespace servertest
