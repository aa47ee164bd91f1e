#include "tests/server/server_fixture.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <set>

namespace servertest {
namespace {

using boost::json::object;

class NamesTest : public ServerFixture {
protected:
    void SetUp() override {
        ServerSetup options;
        options.fileSystem.namedattr = true;
        startServer(options);
        for (const char* name : {"a", "b", "c", "bad\xff", "overlong\xc0\xafslash", "surrogate\xed\xa0\x80"}) {
            std::ofstream(exportPath() + "/" + name) << "x";
        }
        ASSERT_EQ(::symlink("\xfe\xfe", (exportPath() + "/link").c_str()), 0);
        client = connect();
    }

    std::set<std::string> listed(uint64_t handle) {
        std::set<std::string> names;
        uint64_t cookie = 0;
        for (;;) {
            const auto answer = client->call({{"method", "enumerate_directory"}, {"parent_id", 1}, {"handle_id", handle},
                                              {"cookie", cookie}, {"max_entries", 2}});
            EXPECT_TRUE(answer && answer->ok());
            if (!answer || !answer->ok() || answer->object.at("dir_items").as_array().empty()) return names;
            for (const auto& entry : answer->object.at("dir_items").as_array()) {
                names.insert(std::string(entry.as_object().at("name").as_string()));
                cookie = entry.as_object().at("next_cookie").to_number<uint64_t>();
            }
        }
    }

    std::unique_ptr<FrameClient> client;
};

TEST_F(NamesTest, NamesThatAreNotUTF8AreLeftOutAndTheConnectionKeepsWorking) {
    const std::set<std::string> expected{"a", "b", "c", "link"};
    EXPECT_EQ(listed(0), expected);
    const auto opened = client->call({{"method", "open_directory"}, {"node_id", 1}});
    ASSERT_TRUE(opened && opened->ok());
    EXPECT_EQ(listed(opened->object.at("handle_id").to_number<uint64_t>()), expected);

    const uint64_t link = lookup(*client, 1, "link");
    ASSERT_NE(link, 0u);
    const auto target = client->call({{"method", "readlink"}, {"node_id", link}});
    ASSERT_TRUE(target);
    EXPECT_EQ(target->errnoCode(), 92);

    const uint64_t a = lookup(*client, 1, "a");
    ASSERT_EQ(::setxattr((exportPath() + "/a").c_str(), "user.bad\xff", "v", 1, 0), 0);
    ASSERT_EQ(::setxattr((exportPath() + "/a").c_str(), "user.good", "v", 1, 0), 0);
    const auto xattrs = client->call({{"method", "list_xattrs"}, {"node_id", a}});
    ASSERT_TRUE(xattrs && xattrs->ok());
    EXPECT_EQ(xattrs->object.at("xattr_names").as_array(), boost::json::array{"good"});

    // Every later call on the same connection is answered.
    EXPECT_TRUE(client->call({{"method", "ping"}})->ok());
    EXPECT_TRUE(client->call({{"method", "get_attributes"}, {"node_id", a}})->ok());
    EXPECT_EQ(client->call({{"method", "read"}, {"node_id", a}, {"offset", 0}, {"length", 1}})->payload, "x");
}

}  // namespace
}  // namespace servertest
