#include "tests/server/server_fixture.h"

#include <fstream>
#include <set>
#include <thread>

namespace servertest {
namespace {

using ConcurrencyTest = ServerFixture;

TEST_F(ConcurrencyTest, ManyClientsAtOnceAllGetTheirOwnAnswers) {
    for (int i = 0; i < 8; ++i) std::ofstream(exportPath() + "/f" + std::to_string(i)) << i;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int c = 0; c < 8; ++c) {
        threads.emplace_back([this, c, &failures] {
            auto client = connect();
            const std::string name = "f" + std::to_string(c);
            uint64_t id = 0;
            for (int i = 0; i < 100; ++i) {
                const uint64_t found = lookup(*client, 1, name);
                if (found == 0 || (id != 0 && found != id)) ++failures;
                id = found;
                const auto data = client->call({{"method", "read"}, {"node_id", id}, {"offset", 0}, {"length", 10}});
                if (!data || data->payload != std::to_string(c)) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(ConcurrencyTest, ManyOutstandingRequestsOnOneConnectionAreEachAnsweredOnce) {
    auto client = connect();
    constexpr int kRequests = 600;
    std::set<uint64_t> sent;
    // Sending and reading run side by side, as a real client does; replies fill the socket otherwise.
    std::thread sender([&] {
        for (int i = 0; i < kRequests; ++i) {
            sent.insert(client->send(i % 2 ? boost::json::object{{"method", "ping"}}
                                           : boost::json::object{{"method", "get_root_attributes"}}));
        }
    });
    std::set<uint64_t> answered;
    for (int i = 0; i < kRequests; ++i) {
        const auto answer = client->receive();
        ASSERT_TRUE(answer);
        EXPECT_TRUE(answer->ok());
        EXPECT_TRUE(answered.insert(answer->object.at("request_id").to_number<uint64_t>()).second);
    }
    sender.join();
    EXPECT_EQ(answered, sent);
}

TEST_F(ConcurrencyTest, ASmallRequestOvertakesALargeRead) {
    auto client = connect();
    const auto made = client->call({{"method", "create_file"}, {"parent_id", 1}, {"name", "big"}, {"mode", 0644}});
    const uint64_t id = made->object.at("item_attrs").as_object().at("node_id").to_number<uint64_t>();
    const std::string chunk(1024 * 1024, 'x');
    for (uint64_t i = 0; i < 15; ++i) {
        client->call({{"method", "write"}, {"node_id", id}, {"offset", i * chunk.size()}, {"length", chunk.size()}},
                     chunk);
    }
    const uint64_t bigID = client->send({{"method", "read"}, {"node_id", id}, {"offset", 0}, {"length", 15 << 20}});
    const uint64_t pingID = client->send({{"method", "ping"}});
    const auto first = client->receive();
    const auto second = client->receive();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->object.at("request_id").to_number<uint64_t>(), pingID);
    EXPECT_EQ(second->object.at("request_id").to_number<uint64_t>(), bigID);
    EXPECT_EQ(second->payload.size(), 15u << 20);
}

TEST_F(ConcurrencyTest, StoppingWithBusyClientsEndsCleanly) {
    std::vector<std::unique_ptr<FrameClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(connect());
        for (int r = 0; r < 50; ++r) clients.back()->send({{"method", "get_root_attributes"}});
    }
    server->stop();
    // Each connection ends after at most its own replies; none is left hanging.
    for (auto& client : clients) {
        int replies = 0;
        while (client->receive()) ++replies;
        EXPECT_LE(replies, 50);
    }
    EXPECT_FALSE(FrameClient(server->endpoint()).connected());
}

}  // namespace
}  // namespace servertest
