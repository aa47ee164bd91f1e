#include "tests/server/server_fixture.h"

namespace servertest {
namespace {

using boost::json::object;
using DeepTreeTest = ServerFixture;

// Far more than the kernel resolves in one path: every method must still reach the bottom.
TEST_F(DeepTreeTest, EveryMethodWorksBelowPathsLongerThanTheKernelTakes) {
    auto client = connect();
    auto must = [&](object request, const std::string& payload = "") {
        auto answer = client->call(request, payload);
        EXPECT_TRUE(answer && answer->ok()) << boost::json::serialize(request) << " -> "
                                            << (answer ? boost::json::serialize(answer->object) : "no answer");
        return answer ? *answer : Answer{};
    };
    auto nodeOf = [](const Answer& answer, const char* key) {
        return answer.object.contains(key) ? answer.object.at(key).as_object().at("node_id").to_number<uint64_t>() : 0;
    };
    const std::string level(200, 'd');
    uint64_t parent = 1;
    size_t pathLength = 0;
    while (pathLength < 3 * 4096) {
        parent = nodeOf(must({{"method", "create_directory"}, {"parent_id", parent}, {"name", level}, {"mode", 0755}}),
                        "item_attrs");
        ASSERT_NE(parent, 0u) << "at " << pathLength << " bytes";
        pathLength += level.size() + 1;
    }
    const uint64_t file =
        nodeOf(must({{"method", "create_file"}, {"parent_id", parent}, {"name", "f"}, {"mode", 0600}}), "item_attrs");
    ASSERT_NE(file, 0u);
    must({{"method", "open"}, {"node_id", file}, {"open_modes", 3}});
    must({{"method", "write"}, {"node_id", file}, {"offset", 0}, {"length", 4}}, "deep");
    must({{"method", "close"}, {"node_id", file}, {"keeping_modes", 0}});
    EXPECT_EQ(must({{"method", "read"}, {"node_id", file}, {"offset", 0}, {"length", 10}}).payload, "deep");
    EXPECT_EQ(lookup(*client, parent, "f"), file);
    must({{"method", "get_attributes"}, {"node_id", file}});
    must({{"method", "set_attributes"}, {"node_id", file}, {"set_mode", 0644}, {"set_size", 2}});
    const auto link = nodeOf(must({{"method", "create_symlink"}, {"parent_id", parent}, {"name", "l"},
                                   {"link_target", "f"}}),
                             "item_attrs");
    EXPECT_EQ(must({{"method", "readlink"}, {"node_id", link}}).object.at("link_target").as_string(), "f");
    const auto listed = must({{"method", "enumerate_directory"}, {"parent_id", parent}, {"cookie", 0}, {"max_entries", 10}});
    EXPECT_EQ(listed.object.at("dir_items").as_array().size(), 2u);
    must({{"method", "rename"}, {"parent_id", parent}, {"name", "f"}, {"new_parent_id", parent}, {"new_name", "g"}});
    EXPECT_EQ(must({{"method", "read"}, {"node_id", file}, {"offset", 0}, {"length", 10}}).payload, "de");
    must({{"method", "remove_file"}, {"parent_id", parent}, {"name", "g"}});
    must({{"method", "remove_file"}, {"parent_id", parent}, {"name", "l"}});
    EXPECT_EQ(lookup(*client, parent, "g"), 0u);
}

}  // namespace
}  // namespace servertest
