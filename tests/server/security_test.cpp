#include "tests/server/server_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace servertest {
namespace {

using boost::json::object;

class SecurityTest : public ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        std::ofstream(outsidePath() + "/secret") << "outside secret";
        client = connect();
    }

    std::string secret() const {
        std::ifstream in(outsidePath() + "/secret");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool outsideHas(const std::string& name) const {
        struct stat st {};
        return ::lstat((outsidePath() + "/" + name).c_str(), &st) == 0;
    }
    std::optional<Answer> call(object request, const std::string& payload = "") {
        return client->call(std::move(request), payload);
    }
    // Nothing of the outside file may come back, whatever the request answers.
    void expectNoLeak(const std::optional<Answer>& answer) {
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->payload.find("outside secret"), std::string::npos);
        EXPECT_EQ(boost::json::serialize(answer->object).find("outside secret"), std::string::npos);
    }
    void expectRefused(object request, const std::string& payload = "") {
        const auto answer = call(request, payload);
        expectNoLeak(answer);
        EXPECT_FALSE(answer->ok()) << boost::json::serialize(request);
    }
    void expectOutsideUntouched() {
        EXPECT_EQ(secret(), "outside secret");
        EXPECT_FALSE(outsideHas("planted"));
    }

    std::unique_ptr<FrameClient> client;
};

TEST_F(SecurityTest, DotDotAndSlashNamesAreInvalidEverywhere) {
    ASSERT_EQ(::mkdir((exportPath() + "/d").c_str(), 0755), 0);
    const std::vector<std::string> names{"..", ".", "../outside/secret", "d/../../outside", "/etc/passwd", "a/b", "",
                                         std::string("nul\0x", 5)};
    for (const std::string& name : names) {
        for (const auto& request : std::vector<object>{
                 {{"method", "lookup"}, {"parent_id", 1}, {"name", name}},
                 {{"method", "create_file"}, {"parent_id", 1}, {"name", name}, {"mode", 0644}},
                 {{"method", "create_directory"}, {"parent_id", 1}, {"name", name}, {"mode", 0755}},
                 {{"method", "create_symlink"}, {"parent_id", 1}, {"name", name}, {"link_target", "x"}},
                 {{"method", "remove_file"}, {"parent_id", 1}, {"name", name}},
                 {{"method", "remove_directory"}, {"parent_id", 1}, {"name", name}},
                 {{"method", "rename"}, {"parent_id", 1}, {"name", "d"}, {"new_parent_id", 1}, {"new_name", name}},
                 {{"method", "rename"}, {"parent_id", 1}, {"name", name}, {"new_parent_id", 1}, {"new_name", "e"}},
             }) {
            const auto answer = call(request);
            ASSERT_TRUE(answer);
            EXPECT_FALSE(answer->ok());
            EXPECT_EQ(answer->errnoCode(), 22) << boost::json::serialize(request);
        }
    }
    struct stat st {};
    EXPECT_EQ(::stat((exportPath() + "/d").c_str(), &st), 0);
    expectOutsideUntouched();
}

TEST_F(SecurityTest, LinksPointingOutsideAreDataNeverFollowed) {
    ASSERT_EQ(::symlink((outsidePath() + "/secret").c_str(), (exportPath() + "/abs").c_str()), 0);
    ASSERT_EQ(::symlink("../outside/secret", (exportPath() + "/rel").c_str()), 0);
    ASSERT_EQ(::symlink("../outside", (exportPath() + "/dirlink").c_str()), 0);
    for (const std::string name : {"abs", "rel", "dirlink"}) {
        const auto found = call({{"method", "lookup"}, {"parent_id", 1}, {"name", name}});
        expectNoLeak(found);
        ASSERT_TRUE(found->ok());
        const auto& record = found->object.at("lookup_item").as_object();
        EXPECT_EQ(record.at("type").as_string(), "symlink");
        const uint64_t id = record.at("node_id").to_number<uint64_t>();
        expectRefused({{"method", "open"}, {"node_id", id}, {"open_modes", 3}});
        expectRefused({{"method", "read"}, {"node_id", id}, {"offset", 0}, {"length", 100}});
        expectRefused({{"method", "write"}, {"node_id", id}, {"offset", 0}, {"length", 7}}, "planted");
        expectRefused({{"method", "set_attributes"}, {"node_id", id}, {"set_size", 0}});
        expectRefused({{"method", "set_attributes"}, {"node_id", id}, {"set_mode", 0777}});
        expectRefused({{"method", "lookup"}, {"parent_id", id}, {"name", "secret"}});
        expectRefused({{"method", "create_file"}, {"parent_id", id}, {"name", "planted"}, {"mode", 0644}});
        expectRefused({{"method", "enumerate_directory"}, {"parent_id", id}, {"cookie", 0}, {"max_entries", 10}});
        expectRefused({{"method", "open_directory"}, {"node_id", id}});
        const auto target = call({{"method", "readlink"}, {"node_id", id}});
        ASSERT_TRUE(target && target->ok());
    }
    // Creating over an existing link never writes through it.
    expectRefused({{"method", "create_file"}, {"parent_id", 1}, {"name", "abs"}, {"mode", 0644}});
    expectOutsideUntouched();
}

TEST_F(SecurityTest, AbsoluteLinkTargetsAreStoredAsGiven) {
    const auto made = call({{"method", "create_symlink"}, {"parent_id", 1}, {"name", "l"}, {"link_target", "/etc/passwd"}});
    ASSERT_TRUE(made && made->ok());
    const uint64_t id = made->object.at("item_attrs").as_object().at("node_id").to_number<uint64_t>();
    EXPECT_EQ(call({{"method", "readlink"}, {"node_id", id}})->object.at("link_target").as_string(), "/etc/passwd");
    const auto read = call({{"method", "read"}, {"node_id", id}, {"offset", 0}, {"length", 100}});
    ASSERT_TRUE(read);
    EXPECT_FALSE(read->ok());
    EXPECT_TRUE(read->payload.empty());
}

TEST_F(SecurityTest, AFileSwappedForALinkAfterLookupIsNotReached) {
    std::ofstream(exportPath() + "/f") << "inside";
    const uint64_t fileID = lookup(*client, 1, "f");
    ASSERT_NE(fileID, 0u);
    ASSERT_EQ(::unlink((exportPath() + "/f").c_str()), 0);
    ASSERT_EQ(::symlink((outsidePath() + "/secret").c_str(), (exportPath() + "/f").c_str()), 0);

    expectRefused({{"method", "open"}, {"node_id", fileID}, {"open_modes", 3}});
    expectRefused({{"method", "read"}, {"node_id", fileID}, {"offset", 0}, {"length", 100}});
    expectRefused({{"method", "write"}, {"node_id", fileID}, {"offset", 0}, {"length", 7}}, "planted");
    expectRefused({{"method", "set_attributes"}, {"node_id", fileID}, {"set_size", 0}});
    expectRefused({{"method", "get_attributes"}, {"node_id", fileID}});
    expectOutsideUntouched();
}

TEST_F(SecurityTest, ADirectorySwappedForALinkAfterLookupIsNotEntered) {
    ASSERT_EQ(::mkdir((exportPath() + "/d").c_str(), 0755), 0);
    std::ofstream(exportPath() + "/d/inner") << "x";
    const uint64_t dirID = lookup(*client, 1, "d");
    const uint64_t innerID = lookup(*client, dirID, "inner");
    ASSERT_NE(innerID, 0u);
    ASSERT_EQ(::rename((exportPath() + "/d").c_str(), (exportPath() + "/moved-away").c_str()), 0);
    ASSERT_EQ(::symlink(outsidePath().c_str(), (exportPath() + "/d").c_str()), 0);

    expectRefused({{"method", "create_file"}, {"parent_id", dirID}, {"name", "planted"}, {"mode", 0644}});
    expectRefused({{"method", "create_directory"}, {"parent_id", dirID}, {"name", "planted"}, {"mode", 0755}});
    expectRefused({{"method", "lookup"}, {"parent_id", dirID}, {"name", "secret"}});
    expectRefused({{"method", "remove_file"}, {"parent_id", dirID}, {"name", "secret"}});
    expectRefused({{"method", "rename"}, {"parent_id", dirID}, {"name", "secret"}, {"new_parent_id", 1},
                   {"new_name", "stolen"}});
    expectRefused({{"method", "rename"}, {"parent_id", 1}, {"name", "moved-away"}, {"new_parent_id", dirID},
                   {"new_name", "planted"}});
    expectRefused({{"method", "enumerate_directory"}, {"parent_id", dirID}, {"cookie", 0}, {"max_entries", 10}});
    expectRefused({{"method", "read"}, {"node_id", innerID}, {"offset", 0}, {"length", 10}});
    expectOutsideUntouched();
    EXPECT_TRUE(outsideHas("secret"));
}

TEST_F(SecurityTest, AnAncestorReplacedByALinkIsNotCrossed) {
    ASSERT_EQ(::mkdir((exportPath() + "/a").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((exportPath() + "/a/b").c_str(), 0755), 0);
    const uint64_t aID = lookup(*client, 1, "a");
    const uint64_t bID = lookup(*client, aID, "b");
    ASSERT_EQ(::mkdir((outsidePath() + "/b").c_str(), 0755), 0);
    ASSERT_EQ(::rename((exportPath() + "/a").c_str(), (exportPath() + "/gone").c_str()), 0);
    ASSERT_EQ(::symlink(outsidePath().c_str(), (exportPath() + "/a").c_str()), 0);
    expectRefused({{"method", "create_file"}, {"parent_id", bID}, {"name", "planted"}, {"mode", 0644}});
    EXPECT_FALSE(outsideHas("b/planted"));
}

TEST_F(SecurityTest, ARenamedLinkIsMovedNotFollowed) {
    ASSERT_EQ(::symlink(outsidePath().c_str(), (exportPath() + "/l").c_str()), 0);
    ASSERT_EQ(::mkdir((exportPath() + "/d").c_str(), 0755), 0);
    const uint64_t dirID = lookup(*client, 1, "d");
    ASSERT_TRUE(call({{"method", "rename"}, {"parent_id", 1}, {"name", "l"}, {"new_parent_id", dirID},
                      {"new_name", "l2"}})->ok());
    struct stat st {};
    ASSERT_EQ(::lstat((exportPath() + "/d/l2").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_TRUE(call({{"method", "remove_file"}, {"parent_id", dirID}, {"name", "l2"}})->ok());
    EXPECT_TRUE(outsideHas("secret"));
}

}  // namespace
}  // namespace servertest
