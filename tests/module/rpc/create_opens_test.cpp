#include "module/rpc/BrindleRPCClient.h"
#include "tests/module/rpc/scripted_server.h"

#include <gtest/gtest.h>

using brindle::BrindleItem;
using brindle::BrindleRPCClient;
using foundation::Error;
using boost::json::object;

namespace {

// What a create handed on: the node it made (0 for none), whether it is open, and any error.
struct Created {
    uint64_t node = 0;
    bool opened = false;
    bool failed = false;
};

class CreateOpensTest : public ::testing::Test {
protected:
    void connect(boost::json::array extensions) {
        auto ready = std::make_shared<rpctest::Await<bool>>();
        client->connectAndHandshakeWithReply([ready](bool ok, std::optional<Error>) { ready->set(ok); });
        peer = server.accept();
        ASSERT_TRUE(peer);
        auto handshake = peer->read();
        ASSERT_TRUE(handshake);
        peer->replyTo(*handshake, {{"ok", true}, {"session_id", "session-1"}, {"extensions", std::move(extensions)}});
        ASSERT_EQ(ready->get(), std::optional<bool>(true));
    }

    // Sends a create asking for read and write, returns the request the server saw; `answer`
    // then gives the server's reply.
    std::optional<rpctest::Frame> create() {
        client->createFileNamed("new", 1, 0644, 3, [this](std::shared_ptr<BrindleItem> item, bool opened, std::optional<Error> error) {
            result.set({item ? item->nodeID : 0, opened, error.has_value()});
        });
        return peer->read();
    }

    rpctest::ScriptedServer server;
    std::shared_ptr<BrindleRPCClient> client = BrindleRPCClient::initWithSession(server.session());
    std::unique_ptr<rpctest::Peer> peer;
    rpctest::Await<Created> result;
};

const object kRecord{{"node_id", 7}, {"parent_id", 1}, {"type", "file"}};

}  // namespace

TEST_F(CreateOpensTest, AServerThatDoesNotAdvertiseItGetsAPlainCreateAndItsOpenedKeyCountsForNothing) {
    connect({"some_other"});
    auto request = create();
    ASSERT_TRUE(request);
    EXPECT_FALSE(request->json.contains("open_modes")) << request->json;
    peer->replyTo(*request, {{"ok", true}, {"item_attrs", kRecord}, {"opened", true}});
    const auto created = result.get();
    ASSERT_TRUE(created);
    EXPECT_EQ(created->node, 7u);
    EXPECT_FALSE(created->opened);
}

TEST_F(CreateOpensTest, WhereAdvertisedTheCreateAsksAndOnlyATrueOpenedCounts) {
    connect({"create_opens"});
    auto request = create();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->json.at("open_modes"), 3) << request->json;
    peer->replyTo(*request, {{"ok", true}, {"item_attrs", kRecord}, {"opened", true}});
    auto created = result.get();
    ASSERT_TRUE(created);
    EXPECT_EQ(created->node, 7u);
    EXPECT_TRUE(created->opened);

    for (const auto& notOpened : {boost::json::value(false), boost::json::value("yes"), boost::json::value(1)}) {
        result = {};
        request = create();
        ASSERT_TRUE(request);
        peer->replyTo(*request, {{"ok", true}, {"item_attrs", kRecord}, {"opened", notOpened}});
        created = result.get();
        ASSERT_TRUE(created) << notOpened;
        EXPECT_EQ(created->node, 7u) << notOpened;
        EXPECT_FALSE(created->opened) << notOpened;
    }
}
