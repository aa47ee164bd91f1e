#include "module/rpc/BrindleRPCClient.h"
#include "tests/module/rpc/scripted_server.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

using brindle::BrindleItem;
using brindle::BrindleRPCClient;
using foundation::Error;
using boost::json::object;

namespace {

object directoryRecord(uint64_t node, uint64_t size) {
    return {{"node_id", node}, {"parent_id", 1}, {"type", "directory"}, {"name", "d"}, {"mode", 0755},
            {"link_count", 2}, {"uid", 0}, {"gid", 0}, {"size", size}, {"alloc_size", 4096},
            {"modify_time_sec", 10}, {"modify_time_nsec", 0}, {"change_time_sec", 10}, {"change_time_nsec", 0},
            {"access_time_sec", 10}, {"access_time_nsec", 0}, {"birth_time_sec", 0}, {"birth_time_nsec", 0}};
}

class PostOpRecordsTest : public ::testing::Test {
protected:
    void connect(boost::json::array extensions) {
        client->setChangedRecords({[this](uint64_t node) {
                                       std::lock_guard lock(mutex);
                                       changing.push_back(node);
                                   },
                                   [this](std::shared_ptr<BrindleItem> record) {
                                       std::lock_guard lock(mutex);
                                       changed.emplace_back(record->nodeID, record->size);
                                   }});
        auto ready = std::make_shared<rpctest::Await<bool>>();
        client->connectAndHandshakeWithReply([ready](bool ok, std::optional<Error>) { ready->set(ok); });
        peer = server.accept();
        ASSERT_TRUE(peer);
        peer->acceptHandshake("session-1", std::move(extensions));
        ASSERT_EQ(ready->get(), std::optional<bool>(true));
    }

    // A remove of a name in directory 5; the completion sets `done`.
    std::optional<rpctest::Frame> remove(const std::shared_ptr<rpctest::Await<bool>>& done) {
        client->removeFileNamed("f", 5, [done](bool, std::optional<Error>) { done->set(true); });
        return peer->read();
    }

    size_t changingCount() {
        std::lock_guard lock(mutex);
        return changing.size();
    }

    std::vector<std::pair<uint64_t, uint64_t>> changedRecords() {
        std::lock_guard lock(mutex);
        return changed;
    }

    rpctest::ScriptedServer server;
    std::shared_ptr<BrindleRPCClient> client = BrindleRPCClient::initWithSession(server.session());
    std::unique_ptr<rpctest::Peer> peer;
    std::mutex mutex;
    std::vector<uint64_t> changing;
    std::vector<std::pair<uint64_t, uint64_t>> changed;  // node, size
};

}  // namespace

TEST_F(PostOpRecordsTest, TheParentsRecordIsHandedOnBeforeTheCompletionWhereAdvertised) {
    connect({"post_op_records"});
    auto done = std::make_shared<rpctest::Await<bool>>();
    auto request = remove(done);
    ASSERT_TRUE(request);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(changing, std::vector<uint64_t>{5});
    }
    peer->replyTo(*request, {{"ok", true}, {"parent_attrs", directoryRecord(5, 64)}});
    ASSERT_TRUE(done->get());
    EXPECT_EQ(changedRecords(), (std::vector<std::pair<uint64_t, uint64_t>>{{5, 64}}));
    EXPECT_EQ(changingCount(), 1u);
}

TEST_F(PostOpRecordsTest, AServerThatDoesNotAdvertiseItHasItsRecordsPassedOver) {
    connect({});
    auto done = std::make_shared<rpctest::Await<bool>>();
    auto request = remove(done);
    ASSERT_TRUE(request);
    peer->replyTo(*request, {{"ok", true}, {"parent_attrs", directoryRecord(5, 64)}});
    ASSERT_TRUE(done->get());
    EXPECT_TRUE(changedRecords().empty());
}

TEST_F(PostOpRecordsTest, AnotherNodesAMalformedOrABareRecordOrAFailedChangesIsPassedOver) {
    connect({"post_op_records"});
    object bare{{"node_id", 5}, {"parent_id", 1}, {"type", "directory"}};
    object untyped = directoryRecord(5, 64);
    untyped.erase("type");
    for (const object& reply : {object{{"ok", true}, {"parent_attrs", directoryRecord(6, 64)}},
                                object{{"ok", true}, {"parent_attrs", untyped}},
                                object{{"ok", true}, {"parent_attrs", bare}},
                                object{{"ok", true}, {"parent_attrs", "not a record"}},
                                object{{"ok", false}, {"errno", 2}, {"parent_attrs", directoryRecord(5, 64)}}}) {
        auto done = std::make_shared<rpctest::Await<bool>>();
        auto request = remove(done);
        ASSERT_TRUE(request);
        const size_t before = changingCount();
        peer->replyTo(*request, reply);
        ASSERT_TRUE(done->get()) << reply;
        EXPECT_TRUE(changedRecords().empty()) << reply;
        // Told again once it ended: the node changed, and nothing vouches for what it became.
        EXPECT_EQ(changingCount(), before + 1) << reply;
    }
}

// The server may serve two changes of one directory in either order, so neither reply's record
// need show the directory as both left it.
TEST_F(PostOpRecordsTest, ChangesOfOneNodeInFlightTogetherHandOnNoRecord) {
    connect({"post_op_records"});
    auto first = std::make_shared<rpctest::Await<bool>>();
    auto second = std::make_shared<rpctest::Await<bool>>();
    auto firstRequest = remove(first);
    auto secondRequest = remove(second);
    ASSERT_TRUE(firstRequest && secondRequest);
    peer->replyTo(*secondRequest, {{"ok", true}, {"parent_attrs", directoryRecord(5, 64)}});
    ASSERT_TRUE(second->get());
    peer->replyTo(*firstRequest, {{"ok", true}, {"parent_attrs", directoryRecord(5, 96)}});
    ASSERT_TRUE(first->get());
    EXPECT_TRUE(changedRecords().empty());

    auto alone = std::make_shared<rpctest::Await<bool>>();
    auto request = remove(alone);
    ASSERT_TRUE(request);
    peer->replyTo(*request, {{"ok", true}, {"parent_attrs", directoryRecord(5, 32)}});
    ASSERT_TRUE(alone->get());
    EXPECT_EQ(changedRecords(), (std::vector<std::pair<uint64_t, uint64_t>>{{5, 32}}));
}
