#include "tests/server/server_fixture.h"

#include <sys/socket.h>

namespace servertest {
namespace {

using BadInputTest = ServerFixture;

// After each bad frame the server must still serve everybody else.
void expectServerStillServes(const std::unique_ptr<FrameClient>& other) {
    const auto answer = other->call({{"method", "ping"}});
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->ok());
}

TEST_F(BadInputTest, FramesBeyondTheReceiveLimitCloseOnlyThatConnection) {
    auto bystander = connect();
    for (const auto& bad : {header(16 * 1024 * 1024 + 1, 0), header(100, 16 * 1024 * 1024 - 99),
                            header(0xFFFFFFFF, 0xFFFFFFFF)}) {
        auto client = connect();
        client->sendBytes(bad);
        EXPECT_TRUE(client->closedByServer());
        expectServerStillServes(bystander);
    }
}

TEST_F(BadInputTest, MalformedJSONClosesTheConnection) {
    auto bystander = connect();
    for (const std::string json : {"[1,2]", "42", "\"text\"", "{\"method\":", "", "null", "{\"a\":1}}"}) {
        auto client = connect();
        client->sendBytes(header(static_cast<uint32_t>(json.size()), 0) + json);
        EXPECT_TRUE(client->closedByServer()) << json;
        expectServerStillServes(bystander);
    }
}

TEST_F(BadInputTest, TruncatedFramesEndTheConnectionQuietly) {
    auto bystander = connect();
    for (const std::string& partial : {std::string("\0\0", 2), header(50, 0) + "{\"method\"", header(20, 100) +
                                                                                               "{\"method\":\"write\"}  x"}) {
        auto client = connect();
        client->sendBytes(partial);
        ::shutdown(client->fd(), SHUT_WR);
        EXPECT_TRUE(client->closedByServer());
        expectServerStillServes(bystander);
    }
}

TEST_F(BadInputTest, UnknownOrMalformedRequestsAreAnsweredAndTheConnectionStays) {
    auto client = connect();
    const std::vector<std::pair<boost::json::object, int64_t>> cases{
        {{{"method", "format_disk"}}, 45},
        {{{"no_method", true}}, 22},
        {{{"method", 7}}, 22},
        {{{"method", "lookup"}, {"parent_id", "1"}, {"name", "x"}}, 22},
        {{{"method", "lookup"}, {"parent_id", -1}, {"name", "x"}}, 22},
        {{{"method", "lookup"}, {"parent_id", 1}}, 22},
        {{{"method", "read"}, {"node_id", 1}, {"offset", 1.5}, {"length", 1}}, 22},
        {{{"method", "get_attributes"}, {"node_id", true}}, 22},
        {{{"method", "enumerate_directory"}, {"parent_id", 1}, {"cookie", -5}}, 22},
        {{{"method", "set_attributes"}, {"node_id", 1}, {"set_mode", "0777"}}, 22},
        {{{"method", "open"}, {"node_id", 1}}, 22},
    };
    for (const auto& [request, expected] : cases) {
        const auto answer = client->call(request);
        ASSERT_TRUE(answer) << boost::json::serialize(request);
        EXPECT_FALSE(answer->ok());
        EXPECT_EQ(answer->errnoCode(), expected) << boost::json::serialize(request);
        EXPECT_TRUE(answer->object.at("error").is_string());
    }
    EXPECT_TRUE(client->call({{"method", "ping"}})->ok());
}

TEST_F(BadInputTest, RepliesEchoTheRequestIDAsSentAndFramesWithoutOneStillGetAnswers) {
    auto client = connect();
    const std::string withoutID = "{\"method\":\"ping\"}";
    client->sendBytes(header(static_cast<uint32_t>(withoutID.size()), 0) + withoutID);
    auto answer = client->receive();
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->ok());
    EXPECT_FALSE(answer->object.contains("request_id"));
    const std::string withID = "{\"method\":\"ping\",\"request_id\":\"abc\"}";
    client->sendBytes(header(static_cast<uint32_t>(withID.size()), 0) + withID);
    answer = client->receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->object.at("request_id").as_string(), "abc");
}

TEST_F(BadInputTest, HugeReadLengthsAreCappedToFitTheClientsFrameLimit) {
    auto client = connect();
    const auto file = client->call({{"method", "create_file"}, {"parent_id", 1}, {"name", "big"}, {"mode", 0644}});
    const uint64_t id = file->object.at("item_attrs").as_object().at("node_id").to_number<uint64_t>();
    client->call({{"method", "set_attributes"}, {"node_id", id}, {"set_size", 20 * 1024 * 1024}});
    const auto answer = client->call({{"method", "read"}, {"node_id", id}, {"offset", 0}, {"length", UINT64_MAX}});
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->ok());
    EXPECT_LT(answer->payload.size(), 16u * 1024 * 1024);
    EXPECT_GT(answer->payload.size(), 15u * 1024 * 1024);
}

}  // namespace
}  // namespace servertest
