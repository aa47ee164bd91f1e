#include "tests/server/server_fixture.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace servertest {
namespace {

using boost::json::object;
using ConnectionResourcesTest = ServerFixture;

size_t openDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// A connection's resources are released by its reader after the client has gone, a moment later.
template <typename Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 500 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

TEST_F(ConnectionResourcesTest, OneClientsCloseLeavesAnothersOpenFile) {
    std::ofstream(exportPath() + "/shared") << "before";
    auto first = connect();
    auto second = connect();
    const uint64_t id = lookup(*first, 1, "shared");
    ASSERT_NE(id, 0u);
    ASSERT_EQ(lookup(*second, 1, "shared"), id);
    ASSERT_TRUE(first->call({{"method", "open"}, {"node_id", id}, {"open_modes", 3}})->ok());
    ASSERT_TRUE(second->call({{"method", "open"}, {"node_id", id}, {"open_modes", 3}})->ok());
    ASSERT_TRUE(second->call({{"method", "remove_file"}, {"parent_id", 1}, {"name", "shared"}})->ok());
    ASSERT_TRUE(second->call({{"method", "close"}, {"node_id", id}, {"keeping_modes", 0}})->ok());

    const auto written = first->call({{"method", "write"}, {"node_id", id}, {"offset", 0}, {"length", 5}}, "AFTER");
    ASSERT_TRUE(written);
    EXPECT_TRUE(written->ok()) << boost::json::serialize(written->object);
    const auto read = first->call({{"method", "read"}, {"node_id", id}, {"offset", 0}, {"length", 10}});
    EXPECT_EQ(read->payload, "AFTERe");
    const auto attrs = first->call({{"method", "get_attributes"}, {"node_id", id}});
    EXPECT_TRUE(attrs->ok());
    // The other client's close does not reach into this one; this one's own does.
    EXPECT_FALSE(second->call({{"method", "read"}, {"node_id", id}, {"offset", 0}, {"length", 5}})->ok());
    ASSERT_TRUE(first->call({{"method", "close"}, {"node_id", id}, {"keeping_modes", 0}})->ok());
    EXPECT_EQ(first->call({{"method", "get_attributes"}, {"node_id", id}})->errnoCode(), 2);
    EXPECT_EQ(fileSystem->nodes().size(), 1u) << "the removed file's node outlived its last close";
}

// The client's last close of one open can pass its next open of the same node on the wire; the
// close that says "last" then must not take the open that came after it.
TEST_F(ConnectionResourcesTest, AClosePassedByAnotherOpenLeavesThatOpen) {
    std::ofstream(exportPath() + "/raced") << "before";
    auto client = connect();
    const uint64_t id = lookup(*client, 1, "raced");
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(client->call({{"method", "open"}, {"node_id", id}, {"open_modes", 3}})->ok());
    ASSERT_TRUE(client->call({{"method", "open"}, {"node_id", id}, {"open_modes", 1}})->ok());
    ASSERT_TRUE(client->call({{"method", "remove_file"}, {"parent_id", 1}, {"name", "raced"}})->ok());
    ASSERT_TRUE(client->call({{"method", "close"}, {"node_id", id}, {"keeping_modes", 0}})->ok());

    const auto read = client->call({{"method", "read"}, {"node_id", id}, {"offset", 0}, {"length", 10}});
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->ok()) << boost::json::serialize(read->object);
    EXPECT_EQ(read->payload, "before");
    ASSERT_TRUE(client->call({{"method", "close"}, {"node_id", id}, {"keeping_modes", 0}})->ok());
    EXPECT_EQ(client->call({{"method", "get_attributes"}, {"node_id", id}})->errnoCode(), 2);
    EXPECT_EQ(fileSystem->nodes().size(), 1u) << "the removed file's node outlived its last close";
}

TEST_F(ConnectionResourcesTest, DirectoryHandlesAreTheirConnectionsOwn) {
    auto first = connect();
    auto second = connect();
    const auto opened = first->call({{"method", "open_directory"}, {"node_id", 1}});
    const uint64_t handle = opened->object.at("handle_id").to_number<uint64_t>();
    EXPECT_EQ(second->call({{"method", "enumerate_directory"}, {"parent_id", 1}, {"handle_id", handle}, {"cookie", 0}})
                  ->errnoCode(),
              9);
    EXPECT_EQ(second->call({{"method", "close_directory"}, {"node_id", 1}, {"handle_id", handle}})->errnoCode(), 9);
    EXPECT_TRUE(first->call({{"method", "enumerate_directory"}, {"parent_id", 1}, {"handle_id", handle}, {"cookie", 0}})
                    ->ok());
}

uint64_t linkCount(const Answer& attrs) {
    return attrs.object.at("item_attrs").as_object().at("link_count").to_number<uint64_t>();
}

TEST_F(ConnectionResourcesTest, AnOpenDirectoryAnswersAfterItsRemovalUntilClosed) {
    ::mkdir((exportPath() + "/d").c_str(), 0755);
    auto client = connect();
    const uint64_t dirID = lookup(*client, 1, "d");
    ASSERT_NE(dirID, 0u);
    const auto opened = client->call({{"method", "open_directory"}, {"node_id", dirID}});
    ASSERT_TRUE(opened && opened->ok());
    const auto handle = opened->object.at("handle_id");
    ASSERT_TRUE(client->call({{"method", "remove_directory"}, {"parent_id", 1}, {"name", "d"}})->ok());

    const auto attrs = client->call({{"method", "get_attributes"}, {"node_id", dirID}});
    ASSERT_TRUE(attrs->ok()) << boost::json::serialize(attrs->object);
    EXPECT_EQ(linkCount(*attrs), 0u);
    // Another connection holds no handle of it.
    EXPECT_EQ(connect()->call({{"method", "get_attributes"}, {"node_id", dirID}})->errnoCode(), 2);

    ASSERT_TRUE(client->call({{"method", "close_directory"}, {"node_id", dirID}, {"handle_id", handle}})->ok());
    EXPECT_EQ(client->call({{"method", "get_attributes"}, {"node_id", dirID}})->errnoCode(), 2);
    EXPECT_EQ(fileSystem->nodes().size(), 1u) << "the removed directory's node outlived its close";
}

TEST_F(ConnectionResourcesTest, AnOpenDirectoryRemovedOnTheExportAnswersThroughItsHandle) {
    ::mkdir((exportPath() + "/d").c_str(), 0755);
    auto client = connect();
    const uint64_t dirID = lookup(*client, 1, "d");
    ASSERT_TRUE(client->call({{"method", "open_directory"}, {"node_id", dirID}})->ok());
    ASSERT_EQ(::rmdir((exportPath() + "/d").c_str()), 0);
    const auto attrs = client->call({{"method", "get_attributes"}, {"node_id", dirID}});
    ASSERT_TRUE(attrs->ok()) << boost::json::serialize(attrs->object);
    EXPECT_EQ(linkCount(*attrs), 0u);
}

TEST_F(ConnectionResourcesTest, AConnectionThatEndsLetsGoOfItsRemovedDirectories) {
    const size_t descriptorsBefore = openDescriptors();
    auto client = connect();
    for (int i = 0; i < 20; ++i) {
        const std::string name = "d" + std::to_string(i);
        ::mkdir((exportPath() + "/" + name).c_str(), 0755);
        const uint64_t dirID = lookup(*client, 1, name);
        ASSERT_TRUE(client->call({{"method", "open_directory"}, {"node_id", dirID}})->ok());
        ASSERT_TRUE(client->call({{"method", "remove_directory"}, {"parent_id", 1}, {"name", name}})->ok());
        ASSERT_TRUE(client->call({{"method", "get_attributes"}, {"node_id", dirID}})->ok());
    }
    client.reset();
    EXPECT_TRUE(eventually([&] { return fileSystem->nodes().size() == 1; }))
        << fileSystem->nodes().size() << " nodes kept";
    EXPECT_TRUE(eventually([&] { return openDescriptors() <= descriptorsBefore; }))
        << openDescriptors() << " descriptors open, " << descriptorsBefore << " before";
}

// More connections than either table holds entries: each would run out if a closed connection's
// entries were kept.
TEST_F(ConnectionResourcesTest, ClientsThatLeaveWithoutClosingGiveEverythingBack) {
    std::ofstream(exportPath() + "/f") << "x";
    ::mkdir((exportPath() + "/d").c_str(), 0755);
    const size_t descriptorsBefore = openDescriptors();
    auto first = connect();
    const uint64_t fileID = lookup(*first, 1, "f");
    const uint64_t dirID = lookup(*first, 1, "d");
    first.reset();
    std::atomic<int> refused{0};
    auto leaveOpen = [&](int connections) {
        for (int i = 0; i < connections; ++i) {
            auto client = connect();
            const auto file = client->call({{"method", "open"}, {"node_id", fileID}, {"open_modes", 3}});
            const auto dir = client->call({{"method", "open_directory"}, {"node_id", dirID}});
            if (!file || !file->ok() || !dir || !dir->ok()) {
                ++refused;
                continue;
            }
            const auto listed = client->call({{"method", "enumerate_directory"}, {"parent_id", dirID},
                                              {"handle_id", dir->object.at("handle_id")}, {"cookie", 0}});
            if (!listed || !listed->ok()) ++refused;
        }
    };
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) clients.emplace_back(leaveOpen, 2500);
    for (auto& thread : clients) thread.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_TRUE(eventually([&] { return server->holdings().openFiles == 0; }));
    EXPECT_TRUE(eventually([&] { return server->holdings().listingBytes == 0; }));
    EXPECT_TRUE(eventually([&] { return openDescriptors() <= descriptorsBefore; }))
        << openDescriptors() << " descriptors open, " << descriptorsBefore << " before";
}

// A client that opens files and directories until the server refuses leaves room for another.
TEST_F(ConnectionResourcesTest, OneClientCannotTakeEveryOpenFileAndDirectoryHandle) {
    ServerSetup setup;
    setup.settings.limits.maxOpenFiles = 8;
    setup.settings.limits.maxOpenDirectories = 8;
    startServer(setup);
    auto greedy = connect();
    auto other = connect();
    std::vector<uint64_t> files;
    for (int i = 0; i < 9; ++i) {
        const std::string name = "f" + std::to_string(i);
        std::ofstream(exportPath() + "/" + name) << "x";
        files.push_back(lookup(*greedy, 1, name));
        ASSERT_NE(files.back(), 0u);
        ::mkdir((exportPath() + "/d" + std::to_string(i)).c_str(), 0755);
    }
    size_t greedyFiles = 0;
    size_t greedyDirectories = 0;
    for (int i = 0; i < 9; ++i) {
        if (greedy->call({{"method", "open"}, {"node_id", files[i]}, {"open_modes", 1}})->ok()) ++greedyFiles;
        const uint64_t directory = lookup(*greedy, 1, "d" + std::to_string(i));
        if (greedy->call({{"method", "open_directory"}, {"node_id", directory}})->ok()) ++greedyDirectories;
    }
    EXPECT_GE(greedyFiles, 4u);
    EXPECT_GE(greedyDirectories, 4u);

    const uint64_t file = lookup(*other, 1, "f8");
    const auto opened = other->call({{"method", "open"}, {"node_id", file}, {"open_modes", 1}});
    EXPECT_TRUE(opened->ok()) << boost::json::serialize(opened->object);
    const auto directory = other->call({{"method", "open_directory"}, {"node_id", 1}});
    EXPECT_TRUE(directory->ok()) << boost::json::serialize(directory->object);
}

}  // namespace
}  // namespace servertest
