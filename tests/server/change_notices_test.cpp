#include "tests/server/server_fixture.h"

#include <chrono>

namespace servertest {
namespace {

using ChangeNoticesTest = ServerFixture;
using Clock = std::chrono::steady_clock;

boost::json::array namesOf(const Answer& answer) {
    const auto* names = answer.object.if_contains("changed_entry_names");
    return names != nullptr ? names->as_array() : boost::json::array();
}

// Several clients each hold a call; one change by another client answers every one of them
// with it, and not the client that made it.
TEST_F(ChangeNoticesTest, EveryOtherClientsHeldWaitIsAnsweredWithTheChange) {
    auto maker = connect();
    const auto root = maker->call({{"method", "get_root_attributes"}});
    ASSERT_TRUE(root && root->ok());
    const uint64_t rootID = root->object.at("root_attrs").at("node_id").to_number<uint64_t>();
    ASSERT_TRUE(maker->call({{"method", "wait_for_changes"}, {"wait_ms", 0}})->ok());

    std::vector<std::unique_ptr<FrameClient>> watchers;
    for (int i = 0; i < 3; ++i) {
        watchers.push_back(connect());
        ASSERT_TRUE(watchers.back()->call({{"method", "wait_for_changes"}, {"wait_ms", 0}})->ok());
        watchers.back()->send({{"method", "wait_for_changes"}, {"wait_ms", 8000}});
    }
    const auto started = Clock::now();
    ASSERT_TRUE(maker->call({{"method", "create_file"}, {"parent_id", rootID}, {"name", "made"}, {"mode", 0644}})->ok());
    for (auto& watcher : watchers) {
        const auto told = watcher->receive();
        ASSERT_TRUE(told && told->ok());
        EXPECT_EQ(namesOf(*told), boost::json::array{"made"});
        EXPECT_EQ(told->object.at("changed_entry_parents"), boost::json::array{rootID});
    }
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(2)) << "the held calls waited for their timer";
    const auto own = maker->call({{"method", "wait_for_changes"}, {"wait_ms", 0}});
    ASSERT_TRUE(own && own->ok());
    EXPECT_TRUE(namesOf(*own).empty()) << "the client that made the file was told of it";
}

// A held call neither keeps the server from stopping nor outlives its client.
TEST_F(ChangeNoticesTest, AHeldWaitDoesNotHoldUpTheServersStop) {
    auto watcher = connect();
    ASSERT_TRUE(watcher->call({{"method", "wait_for_changes"}, {"wait_ms", 0}})->ok());
    watcher->send({{"method", "wait_for_changes"}, {"wait_ms", 10000}});
    auto leaver = connect();
    ASSERT_TRUE(leaver->call({{"method", "wait_for_changes"}, {"wait_ms", 0}})->ok());
    leaver->send({{"method", "wait_for_changes"}, {"wait_ms", 10000}});
    leaver.reset();
    ASSERT_TRUE(watcher->call({{"method", "ping"}})->ok());
    const auto started = Clock::now();
    server->stop();
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(3));
}

// Told not to advertise the extension, the server refuses the method.
TEST_F(ChangeNoticesTest, WithheldTheMethodIsRefused) {
    ServerSetup setup;
    setup.settings.withheldExtensions = {"change_notices"};
    startServer(setup);
    const auto refused = connect()->call({{"method", "wait_for_changes"}, {"wait_ms", 0}});
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->ok());
    EXPECT_EQ(refused->errnoCode(), 45);
}

}  // namespace
}  // namespace servertest
