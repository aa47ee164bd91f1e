#include "tests/server/server_fixture.h"

#include <atomic>
#include <thread>

namespace servertest {
namespace {

using boost::json::object;
using NodeIdentityTest = ServerFixture;

// tmpfs (the suite's export) hands a freed inode number to the next new file at once, so a
// removal on one connection and a create on the other meet on the same number all the time.
TEST_F(NodeIdentityTest, ARemovalRetiresOnlyTheObjectItRemoved) {
    std::atomic<int> wrong{0};
    std::atomic<int> calls{0};
    auto churn = [&](const std::string& name) {
        auto client = connect();
        for (int round = 0; round < 1500; ++round) {
            const auto made = client->call({{"method", "create_file"}, {"parent_id", 1}, {"name", name}, {"mode", 0644}});
            if (!made || !made->ok()) {
                ++wrong;
                continue;
            }
            const uint64_t id = made->object.at("item_attrs").as_object().at("node_id").to_number<uint64_t>();
            for (const object& request : {object{{"method", "get_attributes"}, {"node_id", id}},
                                          object{{"method", "write"}, {"node_id", id}, {"offset", 0}, {"length", 1}}}) {
                const auto answer = client->call(request, "x");
                ++calls;
                if (!answer || !answer->ok()) ++wrong;
            }
            const auto removed = client->call({{"method", "remove_file"}, {"parent_id", 1}, {"name", name}});
            if (!removed || !removed->ok()) ++wrong;
        }
    };
    std::thread first(churn, "a");
    std::thread second(churn, "b");
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0) << "of " << calls.load() << " calls on existing files";
}

}  // namespace
}  // namespace servertest
