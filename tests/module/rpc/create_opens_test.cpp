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

// Also the other extension of the open path: a directory's open that brings its record.
class CreateOpensTest : public ::testing::Test {
protected:
    void connect(boost::json::array extensions) {
        auto ready = std::make_shared<rpctest::Await<bool>>();
        client->connectAndHandshakeWithReply([ready](bool ok, std::optional<Error>) { ready->set(ok); });
        peer = server.accept();
        ASSERT_TRUE(peer);
        peer->acceptHandshake("session-1", std::move(extensions));
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

// Nobody above the client will ever close a file whose create failed, so the client closes the
// open the server says it made.
TEST_F(CreateOpensTest, AnOpenedCreateWhoseRecordCannotBeReadFailsAndClosesTheOpen) {
    connect({"create_opens"});
    auto request = create();
    ASSERT_TRUE(request);
    peer->replyTo(*request, {{"ok", true}, {"item_attrs", {{"node_id", 7}, {"parent_id", 1}}}, {"opened", true}});
    const auto close = peer->read();
    ASSERT_TRUE(close) << "no close followed the failed create";
    EXPECT_EQ(close->json.at("method"), "close");
    EXPECT_EQ(close->json.at("node_id"), 7);
    EXPECT_EQ(close->json.at("keeping_modes"), 0);
    peer->replyTo(*close, {{"ok", true}});
    const auto created = result.get();
    ASSERT_TRUE(created);
    EXPECT_EQ(created->node, 0u);
    EXPECT_FALSE(created->opened);
    EXPECT_TRUE(created->failed);
}

TEST_F(CreateOpensTest, AFailedCreateOrAnUnopenedOneWithABadRecordSendsNoClose) {
    connect({"create_opens"});
    for (const object& reply : {object{{"ok", false}, {"errno", 17}, {"opened", true}},
                                object{{"ok", true}, {"item_attrs", {{"node_id", 7}}}, {"opened", false}}}) {
        result = {};
        auto request = create();
        ASSERT_TRUE(request);
        peer->replyTo(*request, reply);
        const auto created = result.get();
        ASSERT_TRUE(created) << reply;
        EXPECT_TRUE(created->failed) << reply;
        EXPECT_FALSE(created->opened) << reply;
    }
    client->pingWithReply([](bool, std::optional<Error>) {});
    const auto next = peer->read();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->json.at("method"), "ping") << "a close was sent for a create that opened nothing";
}

namespace {

struct OpenedDirectory {
    uint64_t handle = 0;
    uint64_t recordNode = 0;  // 0: no record handed on
    bool failed = false;
};

}  // namespace

// The record rides on an open that stands without it: none, a bad one or another node's leaves
// the handle alone.
TEST_F(CreateOpensTest, AnOpenDirectoryRecordIsTakenOnlyWhenItIsTheDirectorysOwn) {
    connect({"open_directory_record"});
    const object directory{{"node_id", 9}, {"parent_id", 1}, {"type", "directory"}};
    const object other{{"node_id", 10}, {"parent_id", 1}, {"type", "directory"}};
    const object malformed{{"node_id", 9}, {"type", "sofa"}};
    for (const auto& [reply, expectedNode] :
         std::vector<std::pair<object, uint64_t>>{{{{"ok", true}, {"handle_id", 4}, {"item_attrs", directory}}, 9},
                                                  {{{"ok", true}, {"handle_id", 4}, {"item_attrs", other}}, 0},
                                                  {{{"ok", true}, {"handle_id", 4}, {"item_attrs", malformed}}, 0},
                                                  {{{"ok", true}, {"handle_id", 4}}, 0}}) {
        rpctest::Await<OpenedDirectory> opened;
        client->openDirectoryWithRecordForNodeID(9, "d", [&opened](uint64_t handle, std::shared_ptr<BrindleItem> record,
                                                                   std::optional<Error> error) {
            opened.set({handle, record ? record->nodeID : 0, error.has_value()});
        });
        auto request = peer->read();
        ASSERT_TRUE(request);
        peer->replyTo(*request, reply);
        const auto got = opened.get();
        ASSERT_TRUE(got) << reply;
        EXPECT_EQ(got->handle, 4u) << reply;
        EXPECT_FALSE(got->failed) << reply;
        EXPECT_EQ(got->recordNode, expectedNode) << reply;
    }
}
