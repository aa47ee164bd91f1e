#include "tests/server/server_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace servertest {
namespace {

using boost::json::object;

std::string fileContents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class MethodsTest : public ServerFixture {
protected:
    void SetUp() override {
        ServerSetup options;
        options.fileSystem.namedattr = true;
        startServer(options);
        client = connect();
    }

    object item(const Answer& answer, const char* key) const { return answer.object.at(key).as_object(); }
    uint64_t id(const Answer& answer, const char* key) const {
        return item(answer, key).at("node_id").to_number<uint64_t>();
    }
    Answer must(object request, const std::string& payload = "") {
        auto answer = client->call(std::move(request), payload);
        EXPECT_TRUE(answer);
        if (!answer) return {};
        EXPECT_TRUE(answer->ok()) << boost::json::serialize(answer->object);
        return *answer;
    }
    Answer fails(object request, int64_t expectedErrno) {
        auto answer = client->call(std::move(request));
        EXPECT_TRUE(answer);
        if (!answer) return {};
        EXPECT_FALSE(answer->ok());
        EXPECT_EQ(answer->errnoCode(), expectedErrno) << boost::json::serialize(answer->object);
        EXPECT_TRUE(answer->object.contains("error"));
        return *answer;
    }
    std::vector<object> list(uint64_t directory, uint64_t handle, uint64_t cookie, uint64_t max) {
        const auto answer = must({{"method", "enumerate_directory"}, {"parent_id", directory}, {"handle_id", handle},
                                  {"cookie", cookie}, {"verifier", 0}, {"max_entries", max}});
        std::vector<object> items;
        for (const auto& entry : answer.object.at("dir_items").as_array()) items.push_back(entry.as_object());
        return items;
    }

    std::unique_ptr<FrameClient> client;
};

TEST_F(MethodsTest, VolumeMethods) {
    must({{"method", "ping"}});
    must({{"method", "synchronize"}, {"sync_flags", 0}});
    const auto root = must({{"method", "get_root_attributes"}});
    const auto record = item(root, "root_attrs");
    EXPECT_EQ(record.at("node_id").to_number<uint64_t>(), 1u);
    EXPECT_EQ(record.at("type").as_string(), "directory");
    for (const char* key : {"mode", "link_count", "uid", "gid", "size", "alloc_size", "modify_time_sec",
                            "modify_time_nsec", "change_time_sec", "change_time_nsec", "access_time_sec",
                            "access_time_nsec", "birth_time_sec", "birth_time_nsec"}) {
        EXPECT_TRUE(record.contains(key)) << key;
    }
    const auto stats = must({{"method", "statfs"}, {"node_id", 1}});
    for (const char* key : {"block_size", "io_size", "blocks", "free_blocks", "available_blocks", "files", "free_files"}) {
        EXPECT_TRUE(stats.object.at(key).is_number()) << key;
    }
    EXPECT_GT(stats.object.at("block_size").to_number<uint64_t>(), 0u);
}

// The server sets a new object's mode again only where its umask narrowed it; either way the
// object has the mode the client asked for, on the export and in the reply.
TEST_F(MethodsTest, CreatesKeepTheirModeWhateverTheServersUmask) {
    const mode_t previous = ::umask(0077);
    const auto narrowed = must({{"method", "create_file"}, {"parent_id", 1}, {"name", "narrowed"}, {"mode", 0664}});
    const auto narrowedDir = must({{"method", "create_directory"}, {"parent_id", 1}, {"name", "nd"}, {"mode", 0775}});
    ::umask(0);
    const auto wide = must({{"method", "create_file"}, {"parent_id", 1}, {"name", "wide"}, {"mode", 0604}});
    ::umask(previous);
    const std::pair<const Answer*, std::pair<const char*, mode_t>> created[] = {
        {&narrowed, {"narrowed", 0664}}, {&narrowedDir, {"nd", 0775}}, {&wide, {"wide", 0604}}};
    for (const auto& [answer, expected] : created) {
        const auto& [name, mode] = expected;
        EXPECT_EQ(item(*answer, "item_attrs").at("mode").to_number<uint32_t>(), mode) << name;
        struct stat st {};
        ASSERT_EQ(::stat((exportPath() + "/" + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 07777, mode) << name;
    }
}

TEST_F(MethodsTest, CreateLookupAttributesAndTypes) {
    const auto file = must({{"method", "create_file"}, {"parent_id", 1}, {"name", "f"}, {"mode", 0640}});
    EXPECT_EQ(item(file, "item_attrs").at("type").as_string(), "file");
    EXPECT_EQ(item(file, "item_attrs").at("mode").to_number<uint32_t>(), 0640u);
    const auto dir = must({{"method", "create_directory"}, {"parent_id", 1}, {"name", "d"}, {"mode", 0700}});
    EXPECT_EQ(item(dir, "item_attrs").at("type").as_string(), "directory");
    EXPECT_EQ(item(dir, "item_attrs").at("mode").to_number<uint32_t>(), 0700u);
    const auto link = must({{"method", "create_symlink"}, {"parent_id", id(dir, "item_attrs")}, {"name", "l"},
                            {"link_target", "../f"}});
    EXPECT_EQ(item(link, "item_attrs").at("type").as_string(), "symlink");
    ::mkfifo((exportPath() + "/p").c_str(), 0600);

    const uint64_t fileID = id(file, "item_attrs");
    EXPECT_EQ(lookup(*client, 1, "f"), fileID);
    const auto fifo = must({{"method", "lookup"}, {"parent_id", 1}, {"name", "p"}});
    EXPECT_EQ(item(fifo, "lookup_item").at("type").as_string(), "fifo");
    const auto attrs = must({{"method", "get_attributes"}, {"node_id", fileID}, {"parent_id", 1}, {"name", "f"}});
    EXPECT_EQ(item(attrs, "item_attrs").at("name").as_string(), "f");
    EXPECT_EQ(item(attrs, "item_attrs").at("parent_id").to_number<uint64_t>(), 1u);

    const auto target = must({{"method", "readlink"}, {"node_id", id(link, "item_attrs")}});
    EXPECT_EQ(target.object.at("link_target").as_string(), "../f");
    fails({{"method", "readlink"}, {"node_id", fileID}}, 22);

    fails({{"method", "create_file"}, {"parent_id", 1}, {"name", "f"}, {"mode", 0644}}, 17);
    fails({{"method", "lookup"}, {"parent_id", 1}, {"name", "missing"}}, 2);
    fails({{"method", "lookup"}, {"parent_id", fileID}, {"name", "x"}}, 20);
    fails({{"method", "get_attributes"}, {"node_id", 424242}, {"parent_id", 1}, {"name", ""}}, 2);
}

TEST_F(MethodsTest, SetAttributesAppliesModeSizeAndTimes) {
    const auto file = must({{"method", "create_file"}, {"parent_id", 1}, {"name", "f"}, {"mode", 0644}});
    const uint64_t fileID = id(file, "item_attrs");
    const auto changed = must({{"method", "set_attributes"}, {"node_id", fileID}, {"parent_id", 1}, {"name", "f"},
                               {"set_mode", 0600}, {"set_size", 1000}, {"set_uid", ::getuid()}, {"set_gid", ::getgid()},
                               {"set_access_time_sec", 1000}, {"set_access_time_nsec", 5},
                               {"set_modify_time_sec", 2000}, {"set_modify_time_nsec", 7}});
    const auto record = item(changed, "item_attrs");
    EXPECT_EQ(record.at("mode").to_number<uint32_t>(), 0600u);
    EXPECT_EQ(record.at("size").to_number<uint64_t>(), 1000u);
    EXPECT_EQ(record.at("access_time_sec").to_number<int64_t>(), 1000);
    EXPECT_EQ(record.at("access_time_nsec").to_number<int64_t>(), 5);
    EXPECT_EQ(record.at("modify_time_sec").to_number<int64_t>(), 2000);
    EXPECT_EQ(record.at("modify_time_nsec").to_number<int64_t>(), 7);
    struct stat st {};
    ASSERT_EQ(::stat((exportPath() + "/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1000);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const auto untouched = must({{"method", "set_attributes"}, {"node_id", fileID}, {"parent_id", 1}, {"name", "f"}});
    EXPECT_EQ(item(untouched, "item_attrs").at("size").to_number<uint64_t>(), 1000u);
    fails({{"method", "set_attributes"}, {"node_id", fileID}, {"parent_id", 1}, {"name", "f"},
           {"set_modify_time_sec", 1}, {"set_modify_time_nsec", 2000000000}},
          22);
    fails({{"method", "set_attributes"}, {"node_id", 1}, {"parent_id", 1}, {"name", ""}, {"set_size", 0}}, 21);

    // Linux sets no birth time: a new one is refused before anything else changes, and the one the
    // server reports is taken as it is.
    fails({{"method", "set_attributes"}, {"node_id", fileID}, {"parent_id", 1}, {"name", "f"}, {"set_mode", 0644},
           {"set_birth_time_sec", 5}, {"set_birth_time_nsec", 0}},
          45);
    ASSERT_EQ(::stat((exportPath() + "/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const auto born = item(untouched, "item_attrs");
    const auto same = must({{"method", "set_attributes"}, {"node_id", fileID}, {"parent_id", 1}, {"name", "f"},
                            {"set_birth_time_sec", born.at("birth_time_sec")},
                            {"set_birth_time_nsec", born.at("birth_time_nsec")}});
    EXPECT_EQ(item(same, "item_attrs").at("birth_time_sec"), born.at("birth_time_sec"));
}

TEST_F(MethodsTest, OpenReadWriteClose) {
    const auto file = must({{"method", "create_file"}, {"parent_id", 1}, {"name", "f"}, {"mode", 0644}});
    const uint64_t fileID = id(file, "item_attrs");
    must({{"method", "open"}, {"node_id", fileID}, {"open_modes", 3}});
    const auto written = must({{"method", "write"}, {"node_id", fileID}, {"offset", 2}, {"length", 5}}, "hello");
    EXPECT_EQ(written.object.at("write_size").to_number<uint64_t>(), 5u);
    EXPECT_EQ(fileContents(exportPath() + "/f"), std::string("\0\0hello", 7));

    const auto whole = must({{"method", "read"}, {"node_id", fileID}, {"offset", 0}, {"length", 100}});
    EXPECT_EQ(whole.payload, std::string("\0\0hello", 7));
    const auto part = must({{"method", "read"}, {"node_id", fileID}, {"offset", 3}, {"length", 2}});
    EXPECT_EQ(part.payload, "el");
    const auto beyond = must({{"method", "read"}, {"node_id", fileID}, {"offset", 100}, {"length", 10}});
    EXPECT_TRUE(beyond.payload.empty());
    must({{"method", "close"}, {"node_id", fileID}, {"keeping_modes", 0}});
    EXPECT_EQ(server->holdings().openFiles, 0u);

    // Files never opened are still served by reads and writes.
    must({{"method", "write"}, {"node_id", fileID}, {"offset", 0}, {"length", 2}}, "HI");
    EXPECT_EQ(must({{"method", "read"}, {"node_id", fileID}, {"offset", 0}, {"length", 4}}).payload,
              "HIhe");
    const uint64_t rootID = 1;
    fails({{"method", "open"}, {"node_id", rootID}, {"open_modes", 1}}, 21);
    fails({{"method", "read"}, {"node_id", rootID}, {"offset", 0}, {"length", 1}}, 21);
}

TEST_F(MethodsTest, AnOpenFileStaysServedAfterUnlinkAndRename) {
    std::ofstream(exportPath() + "/kept") << "still here";
    const uint64_t keptID = lookup(*client, 1, "kept");
    must({{"method", "open"}, {"node_id", keptID}, {"open_modes", 3}});
    must({{"method", "remove_file"}, {"parent_id", 1}, {"name", "kept"}});
    EXPECT_EQ(must({{"method", "read"}, {"node_id", keptID}, {"offset", 0}, {"length", 64}}).payload, "still here");
    must({{"method", "write"}, {"node_id", keptID}, {"offset", 0}, {"length", 5}}, "STILL");
    EXPECT_EQ(must({{"method", "read"}, {"node_id", keptID}, {"offset", 0}, {"length", 5}}).payload, "STILL");
    const auto attrs = must({{"method", "get_attributes"}, {"node_id", keptID}, {"parent_id", 1}, {"name", "kept"}});
    EXPECT_EQ(item(attrs, "item_attrs").at("link_count").to_number<uint64_t>(), 0u);
    must({{"method", "close"}, {"node_id", keptID}, {"keeping_modes", 0}});
    fails({{"method", "read"}, {"node_id", keptID}, {"offset", 0}, {"length", 5}}, 2);

    std::ofstream(exportPath() + "/moving") << "abc";
    const uint64_t movingID = lookup(*client, 1, "moving");
    must({{"method", "open"}, {"node_id", movingID}, {"open_modes", 1}});
    ASSERT_EQ(::rename((exportPath() + "/moving").c_str(), (outsidePath() + "/moved").c_str()), 0);
    EXPECT_EQ(must({{"method", "read"}, {"node_id", movingID}, {"offset", 0}, {"length", 3}}).payload, "abc");
}

TEST_F(MethodsTest, IDsAreStableAcrossRenamesAndNeverReused) {
    const auto dir = must({{"method", "create_directory"}, {"parent_id", 1}, {"name", "a"}, {"mode", 0755}});
    const uint64_t dirID = id(dir, "item_attrs");
    const auto file = must({{"method", "create_file"}, {"parent_id", dirID}, {"name", "x"}, {"mode", 0644}});
    const uint64_t fileID = id(file, "item_attrs");
    must({{"method", "rename"}, {"parent_id", dirID}, {"name", "x"}, {"new_parent_id", 1}, {"new_name", "y"}});
    EXPECT_EQ(lookup(*client, 1, "y"), fileID);
    EXPECT_EQ(lookup(*client, dirID, "x"), 0u);
    must({{"method", "rename"}, {"parent_id", 1}, {"name", "a"}, {"new_parent_id", 1}, {"new_name", "b"}});
    EXPECT_EQ(lookup(*client, 1, "b"), dirID);
    // The moved directory is still reachable by id for operations inside it.
    must({{"method", "create_file"}, {"parent_id", dirID}, {"name", "inside"}, {"mode", 0644}});
    const auto attrs = must({{"method", "get_attributes"}, {"node_id", fileID}, {"parent_id", 1}, {"name", "y"}});
    EXPECT_EQ(item(attrs, "item_attrs").at("name").as_string(), "y");

    // Replacing by rename gives the survivor's id; a new file is never given an old id.
    must({{"method", "create_file"}, {"parent_id", 1}, {"name", "z"}, {"mode", 0644}});
    must({{"method", "rename"}, {"parent_id", 1}, {"name", "y"}, {"new_parent_id", 1}, {"new_name", "z"}});
    EXPECT_EQ(lookup(*client, 1, "z"), fileID);
    must({{"method", "remove_file"}, {"parent_id", 1}, {"name", "z"}});
    const auto fresh = must({{"method", "create_file"}, {"parent_id", 1}, {"name", "z"}, {"mode", 0644}});
    EXPECT_GT(id(fresh, "item_attrs"), fileID);
    EXPECT_EQ(server->holdings().openFiles, 0u);
}

TEST_F(MethodsTest, RemovingChecksTypesAndEmptiness) {
    must({{"method", "create_directory"}, {"parent_id", 1}, {"name", "d"}, {"mode", 0755}});
    const uint64_t dirID = lookup(*client, 1, "d");
    must({{"method", "create_file"}, {"parent_id", dirID}, {"name", "f"}, {"mode", 0644}});
    fails({{"method", "remove_directory"}, {"parent_id", 1}, {"name", "d"}}, 66);
    fails({{"method", "remove_file"}, {"parent_id", 1}, {"name", "d"}}, 21);
    fails({{"method", "remove_directory"}, {"parent_id", dirID}, {"name", "f"}}, 20);
    must({{"method", "remove_file"}, {"parent_id", dirID}, {"name", "f"}});
    must({{"method", "remove_directory"}, {"parent_id", 1}, {"name", "d"}});
    fails({{"method", "remove_file"}, {"parent_id", 1}, {"name", "d"}}, 2);
    struct stat st {};
    EXPECT_NE(::stat((exportPath() + "/d").c_str(), &st), 0);
}

TEST_F(MethodsTest, ListingsPageThroughEveryEntryOnceWithGrowingCookies) {
    // Enough entries that a hashed directory (ext4's) lists them in an order unrelated to names.
    for (int i = 0; i < 300; ++i) std::ofstream(exportPath() + "/e" + std::to_string(i)) << i;
    const auto opened = must({{"method", "open_directory"}, {"node_id", 1}});
    const uint64_t handle = opened.object.at("handle_id").to_number<uint64_t>();
    EXPECT_NE(handle, 0u);

    std::set<std::string> names;
    std::vector<uint64_t> cookies;
    uint64_t cookie = 0;
    for (;;) {
        const auto batch = list(1, handle, cookie, 40);
        if (batch.empty()) break;
        EXPECT_LE(batch.size(), 40u);
        for (const auto& entry : batch) {
            EXPECT_TRUE(names.insert(std::string(entry.at("name").as_string())).second);
            EXPECT_TRUE(entry.contains("birth_time_nsec"));
            cookies.push_back(entry.at("next_cookie").to_number<uint64_t>());
        }
        cookie = cookies.back();
    }
    EXPECT_EQ(names.size(), 300u);
    EXPECT_FALSE(names.contains(".") || names.contains(".."));
    for (size_t i = 1; i < cookies.size(); ++i) EXPECT_GT(cookies[i], cookies[i - 1]);

    // Resuming from a cookie given earlier lists the same continuation, also after removals.
    const auto first = list(1, handle, cookies[9], 5);
    ::unlink((exportPath() + "/" + std::string(first[2].at("name").as_string())).c_str());
    const auto again = list(1, handle, cookies[9], 5);
    EXPECT_EQ(again[0].at("name"), first[0].at("name"));
    EXPECT_EQ(again[1].at("name"), first[1].at("name"));
    EXPECT_NE(again[2].at("name"), first[2].at("name"));

    const auto closed = must({{"method", "close_directory"}, {"node_id", 1}, {"handle_id", handle}});
    EXPECT_EQ(closed.object.at("handle_id").to_number<uint64_t>(), 0u);
    fails({{"method", "close_directory"}, {"node_id", 1}, {"handle_id", handle}}, 9);
    fails({{"method", "enumerate_directory"}, {"parent_id", 1}, {"handle_id", handle}, {"cookie", 0},
           {"verifier", 0}, {"max_entries", 5}},
          9);
    EXPECT_EQ(list(1, 0, 0, 400).size(), 299u);
}

TEST_F(MethodsTest, ListingsOfOneHandleRunSideBySideAndResumeAfterBeingLetGo) {
    for (int i = 0; i < 20; ++i) std::ofstream(exportPath() + "/s" + std::to_string(i)) << i;
    const auto opened = must({{"method", "open_directory"}, {"node_id", 1}});
    const uint64_t handle = opened.object.at("handle_id").to_number<uint64_t>();
    const auto older = list(1, handle, 0, 5);
    const auto newer = list(1, handle, 0, 5);
    const uint64_t olderCookie = older.back().at("next_cookie").to_number<uint64_t>();
    const uint64_t newerCookie = newer.back().at("next_cookie").to_number<uint64_t>();
    EXPECT_GT(newerCookie, olderCookie);
    // Each continues where it stopped: together with its start it names every entry once.
    for (const auto& [start, cookie] : {std::pair{older, olderCookie}, std::pair{newer, newerCookie}}) {
        std::set<std::string> names;
        for (const auto& entry : start) names.insert(std::string(entry.at("name").as_string()));
        for (const auto& entry : list(1, handle, cookie, 100)) {
            EXPECT_TRUE(names.insert(std::string(entry.at("name").as_string())).second);
        }
        EXPECT_EQ(names.size(), 20u);
    }
    // A listing let go meanwhile goes on from a fresh one: no error, nothing twice, cookies still growing.
    for (size_t i = 0; i < 4; ++i) list(1, handle, 0, 1);
    std::set<std::string> names;
    for (const auto& entry : older) names.insert(std::string(entry.at("name").as_string()));
    uint64_t cookie = olderCookie;
    for (const auto& entry : list(1, handle, olderCookie, 100)) {
        EXPECT_TRUE(names.insert(std::string(entry.at("name").as_string())).second);
        EXPECT_GT(entry.at("next_cookie").to_number<uint64_t>(), cookie);
        cookie = entry.at("next_cookie").to_number<uint64_t>();
    }
    EXPECT_EQ(names.size(), 20u);
}

size_t openDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

TEST_F(MethodsTest, DescriptorsStayBoundedHoweverManyFilesAreSeen) {
    for (int i = 0; i < 300; ++i) std::ofstream(exportPath() + "/n" + std::to_string(i)) << i;
    const size_t before = openDescriptors();
    for (int i = 0; i < 300; ++i) {
        const uint64_t id = lookup(*client, 1, "n" + std::to_string(i));
        ASSERT_NE(id, 0u);
        must({{"method", "get_attributes"}, {"node_id", id}});
        must({{"method", "read"}, {"node_id", id}, {"offset", 0}, {"length", 8}});
    }
    list(1, 0, 0, 4096);
    EXPECT_LE(openDescriptors(), before + 2);
    EXPECT_GE(fileSystem->nodes().size(), 301u);
}

TEST_F(MethodsTest, ExtendedAttributes) {
    std::ofstream(exportPath() + "/f") << "x";
    const uint64_t fileID = lookup(*client, 1, "f");
    const auto noNames = must({{"method", "list_xattrs"}, {"node_id", fileID}});
    EXPECT_TRUE(noNames.object.at("xattr_names").as_array().empty());
    fails({{"method", "get_xattr"}, {"node_id", fileID}, {"xattr_name", "com.example.tag"}}, 93);

    must({{"method", "set_xattr"}, {"node_id", fileID}, {"xattr_name", "com.example.tag"}, {"xattr_flags", 0}},
         std::string("v\0al", 4));
    EXPECT_EQ(must({{"method", "get_xattr"}, {"node_id", fileID}, {"xattr_name", "com.example.tag"}}).payload,
              std::string("v\0al", 4));
    const auto names = must({{"method", "list_xattrs"}, {"node_id", fileID}});
    ASSERT_EQ(names.object.at("xattr_names").as_array().size(), 1u);
    EXPECT_EQ(names.object.at("xattr_names").as_array()[0].as_string(), "com.example.tag");

    auto create = client->call({{"method", "set_xattr"}, {"node_id", fileID}, {"xattr_name", "com.example.tag"},
                                {"xattr_flags", 2}},
                               "again");
    EXPECT_EQ(create->errnoCode(), 17);
    auto replace = client->call({{"method", "set_xattr"}, {"node_id", fileID}, {"xattr_name", "com.example.other"},
                                 {"xattr_flags", 4}},
                                "again");
    EXPECT_EQ(replace->errnoCode(), 93);
    must({{"method", "remove_xattr"}, {"node_id", fileID}, {"xattr_name", "com.example.tag"}});
    fails({{"method", "remove_xattr"}, {"node_id", fileID}, {"xattr_name", "com.example.tag"}}, 93);
}

TEST_F(MethodsTest, WithoutNamedattrExtendedAttributesAreNotSupported) {
    startServer({});
    client = connect();
    fails({{"method", "list_xattrs"}, {"node_id", 1}}, 45);
    fails({{"method", "get_xattr"}, {"node_id", 1}, {"xattr_name", "a"}}, 45);
}

TEST_F(MethodsTest, ReadonlyRefusesEveryChange) {
    std::ofstream(exportPath() + "/f") << "data";
    ServerSetup options;
    options.fileSystem.readonly = true;
    options.fileSystem.namedattr = true;
    startServer(options);
    client = connect();
    const uint64_t fileID = lookup(*client, 1, "f");
    ASSERT_NE(fileID, 0u);
    const std::vector<object> changes{
        {{"method", "create_file"}, {"parent_id", 1}, {"name", "n"}, {"mode", 0644}},
        {{"method", "create_directory"}, {"parent_id", 1}, {"name", "n"}, {"mode", 0755}},
        {{"method", "create_symlink"}, {"parent_id", 1}, {"name", "n"}, {"link_target", "f"}},
        {{"method", "remove_file"}, {"parent_id", 1}, {"name", "f"}},
        {{"method", "remove_directory"}, {"parent_id", 1}, {"name", "f"}},
        {{"method", "rename"}, {"parent_id", 1}, {"name", "f"}, {"new_parent_id", 1}, {"new_name", "g"}},
        {{"method", "set_attributes"}, {"node_id", fileID}, {"parent_id", 1}, {"name", "f"}, {"set_size", 0}},
        {{"method", "open"}, {"node_id", fileID}, {"open_modes", 2}},
        {{"method", "write"}, {"node_id", fileID}, {"offset", 0}, {"length", 0}},
        {{"method", "set_xattr"}, {"node_id", fileID}, {"xattr_name", "a"}, {"xattr_flags", 0}},
        {{"method", "remove_xattr"}, {"node_id", fileID}, {"xattr_name", "a"}},
    };
    for (const auto& change : changes) fails(change, 30);
    EXPECT_EQ(fileContents(exportPath() + "/f"), "data");
    must({{"method", "open"}, {"node_id", fileID}, {"open_modes", 1}});
    EXPECT_EQ(must({{"method", "read"}, {"node_id", fileID}, {"offset", 0}, {"length", 4}}).payload, "data");
}

}  // namespace
}  // namespace servertest
