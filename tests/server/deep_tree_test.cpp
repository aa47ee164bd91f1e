#include "tests/server/server_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Makes `levels` directories named `name`, one in the other, below `base`; returns the deepest.
int makeChain(const std::string& base, const std::string& name, int levels) {
    int fd = ::open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < levels && fd >= 0; ++i) {
        ::mkdirat(fd, name.c_str(), 0755);
        const int next = ::openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    return fd;
}

TEST_F(DeepTreeTest, ALinkPutInPlaceOfADeepAncestorIsNotCrossed) {
    auto client = connect();
    const std::string level(200, 'd');
    constexpr int kLevels = 50;  // three pieces of path
    uint64_t bottom = 1;
    for (int i = 0; i < kLevels; ++i) {
        const auto made =
            client->call({{"method", "create_directory"}, {"parent_id", bottom}, {"name", level}, {"mode", 0755}});
        ASSERT_TRUE(made && made->ok());
        bottom = made->object.at("item_attrs").as_object().at("node_id").to_number<uint64_t>();
    }
    // Level 40 ends the second piece of the walk: its subtree, the very objects the ids name, is moved
    // out of the export and a link to it put in its place.
    const int above = makeChain(exportPath(), level, 39);
    ASSERT_GE(above, 0);
    const int outside = ::open(outsidePath().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::renameat(above, level.c_str(), outside, "moved"), 0);
    ASSERT_EQ(::symlinkat((outsidePath() + "/moved").c_str(), above, level.c_str()), 0);
    ::close(above);
    ::close(outside);
    const int outsideCopy = makeChain(outsidePath() + "/moved", level, kLevels - 40);
    ASSERT_GE(outsideCopy, 0);

    for (const boost::json::object& request :
         {boost::json::object{{"method", "create_file"}, {"parent_id", bottom}, {"name", "planted"}, {"mode", 0644}},
          boost::json::object{{"method", "enumerate_directory"}, {"parent_id", bottom}, {"cookie", 0}},
          boost::json::object{{"method", "get_attributes"}, {"node_id", bottom}}}) {
        const auto answer = client->call(request);
        ASSERT_TRUE(answer);
        EXPECT_FALSE(answer->ok()) << boost::json::serialize(request);
    }
    struct stat st {};
    EXPECT_NE(::fstatat(outsideCopy, "planted", &st, AT_SYMLINK_NOFOLLOW), 0);
    ::close(outsideCopy);
}

}  // namespace
}  // namespace servertest
