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
        client->openDirectoryWithRecordForNodeID(9, "d", 0, [&opened](uint64_t handle, std::shared_ptr<BrindleItem> record,
                                                                      std::optional<brindle::FirstBatch>, std::optional<Error> error) {
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

namespace {

struct Listed {
    uint64_t handle = 0;
    std::optional<size_t> entries;  // none: no batch handed on
    bool failed = false;
};

object entry(const char* name, uint64_t node, uint64_t cookie) {
    return {{"node_id", node}, {"parent_id", 9}, {"type", "file"}, {"name", name}, {"next_cookie", cookie}};
}

}  // namespace

// A batch is taken only as one the listing can go on from. Where the server closed the handle
// beside one that cannot be used, the directory is opened again without asking for a batch, so the
// listing still has a handle.
TEST_F(CreateOpensTest, AFirstBatchThatCannotBeListedFromIsDroppedAndAClosedHandleOpenedAgain) {
    connect({"listing_in_open"});
    const boost::json::array falling{entry("a", 20, 2), entry("b", 21, 1)};
    const boost::json::array good{entry("a", 20, 1), entry("b", 21, 2)};
    const boost::json::array malformed{entry("a", 20, 1), object{{"node_id", 21}, {"type", "sofa"}}};
    const boost::json::array full{entry("a", 20, 1), entry("b", 21, 2), entry("c", 22, 3)};
    struct Case {
        object reply;
        Listed expected;
        bool reopened;
    };
    for (const auto& [reply, expected, reopened] : std::vector<Case>{
             {{{"ok", true}, {"handle_id", 4}, {"dir_items", good}, {"handle_closed", true}}, {0, 2}, false},
             {{{"ok", true}, {"handle_id", 4}, {"dir_items", good}}, {4, 2}, false},
             {{{"ok", true}, {"handle_id", 4}, {"dir_items", falling}}, {4, std::nullopt}, false},
             {{{"ok", true}, {"handle_id", 4}, {"dir_items", malformed}, {"handle_closed", true}}, {5, std::nullopt}, true},
             {{{"ok", true}, {"handle_id", 4}, {"dir_items", full}, {"handle_closed", true}}, {5, std::nullopt}, true},
         }) {
        rpctest::Await<Listed> opened;
        client->openDirectoryWithRecordForNodeID(
            9, "d", 3,
            [&opened](uint64_t handle, std::shared_ptr<BrindleItem>, std::optional<brindle::FirstBatch> batch,
                      std::optional<Error> error) {
                opened.set({handle, batch ? std::optional<size_t>(batch->entries.size()) : std::nullopt,
                            error.has_value()});
            });
        auto request = peer->read();
        ASSERT_TRUE(request);
        EXPECT_EQ(request->json.at("first_batch"), 3) << request->json;
        peer->replyTo(*request, reply);
        if (reopened) {
            auto again = peer->read();
            ASSERT_TRUE(again) << reply;
            EXPECT_EQ(again->json.at("method"), "open_directory");
            EXPECT_FALSE(again->json.contains("first_batch")) << again->json;
            peer->replyTo(*again, {{"ok", true}, {"handle_id", 5}});
        }
        const auto got = opened.get();
        ASSERT_TRUE(got) << reply;
        EXPECT_EQ(got->handle, expected.handle) << reply;
        EXPECT_EQ(got->entries, expected.entries) << reply;
        EXPECT_FALSE(got->failed) << reply;
    }
}
