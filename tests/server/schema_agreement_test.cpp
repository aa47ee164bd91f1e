#include "platform/foundation/json.h"
#include "protocol/item_record.h"
#include "protocol/schema.h"
#include "sdk/cpp/dispatch/dispatcher.h"
#include "tests/server/server_fixture.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace servertest {
namespace {

using boost::json::object;

// The item records anywhere in a reply.
void collectRecords(const boost::json::value& value, std::vector<object>& records) {
    if (const auto* array = value.if_array()) {
        for (const auto& element : *array) collectRecords(element, records);
    } else if (const auto* record = value.if_object(); record != nullptr && record->contains("node_id")) {
        records.push_back(*record);
    }
}

class ServerSchemaAgreementTest : public ServerFixture {
protected:
    void SetUp() override {
        ServerSetup options;
        options.fileSystem.namedattr = true;
        startServer(options);
        client = connect();
    }

    // Sends a request that the schema allows and returns the reply, held against the schema.
    Answer call(const std::string& method, object request, const std::string& payload = "") {
        request["method"] = method;
        object sent = request;
        sent["request_id"] = 1;
        for (const auto& problem : brindle::schema::requestProblems(sent, payload.size(), advertised)) {
            ADD_FAILURE() << problem;
        }
        auto answer = client->call(std::move(request), payload);
        if (!answer) {
            ADD_FAILURE() << method << ": no reply";
            return {};
        }
        for (const auto& problem : brindle::schema::replyProblems(method, answer->object, answer->payload.size())) {
            ADD_FAILURE() << problem;
        }
        std::vector<object> records;
        for (const auto& [key, value] : answer->object) collectRecords(value, records);
        for (const auto& record : records) {
            const auto decoded = brindle::wire::decodeItemRecord(record);
            EXPECT_TRUE(decoded && decoded->attributes) << method << ": a record without its whole attribute set: "
                                                       << foundation::json::serialize(record);
        }
        called.insert(method);
        return *answer;
    }
    static uint64_t nodeOf(const Answer& answer, const char* key) {
        return answer.object.at(key).at("node_id").to_number<uint64_t>();
    }

    std::unique_ptr<FrameClient> client;
    std::set<std::string> called{"handshake"};
    // What brindle-server advertises.
    const std::set<std::string> advertised{"change_notices", "locks", "forget"};
};

}  // namespace

TEST_F(ServerSchemaAgreementTest, TheDispatcherServesEveryMethodOfTheSchemaAndNoOther) {
    std::set<std::string> served{"handshake"};
    for (const auto name : brindle::sdk::Dispatcher::methodNames()) served.emplace(name);
    EXPECT_EQ(served, brindle::schema::methodNames());
}

TEST_F(ServerSchemaAgreementTest, TheHandshakeAndTheSessionFileFollowTheSchema) {
    FrameClient fresh(server->endpoint());
    const auto answer = fresh.call({{"method", "handshake"}, {"auth_token", server->authToken()}});
    ASSERT_TRUE(answer);
    for (const auto& problem : brindle::schema::replyProblems("handshake", answer->object, answer->payload.size())) {
        ADD_FAILURE() << problem;
    }
    std::ifstream in(sessionPath());
    std::stringstream text;
    text << in.rdbuf();
    const auto session = foundation::json::parse(text.str());
    ASSERT_TRUE(session && session.value().is_object());
    for (const auto& problem : brindle::schema::sessionFileProblems(session.value().get_object())) ADD_FAILURE() << problem;
}

TEST_F(ServerSchemaAgreementTest, EveryMethodAnswersAValidRequestAsTheSchemaDescribes) {
    call("ping", {});
    call("wait_for_changes", {{"wait_ms", 0}});
    call("synchronize", {{"sync_flags", 0}});
    call("statfs", {{"node_id", 1}});
    const uint64_t root = nodeOf(call("get_root_attributes", {}), "root_attrs");
    const uint64_t directory = nodeOf(call("create_directory", {{"parent_id", root}, {"name", "d"}, {"mode", 0755}}), "item_attrs");
    const Answer created = call("create_file", {{"parent_id", root}, {"name", "f"}, {"mode", 0644}});
    const uint64_t file = nodeOf(created, "item_attrs");
    // The only birth time a Linux export takes is the one it shows.
    const auto& born = created.object.at("item_attrs").as_object();

    call("open", {{"node_id", file}, {"open_modes", 3}});
    EXPECT_EQ(call("write", {{"node_id", file}, {"offset", 0}, {"length", 4}}, "data").object.at("write_size"), 4);
    EXPECT_EQ(call("read", {{"node_id", file}, {"offset", 0}, {"length", 4}}).payload, "data");
    call("close", {{"node_id", file}, {"keeping_modes", 0}});
    call("set_attributes", {{"node_id", file}, {"parent_id", root}, {"name", "f"}, {"set_mode", 0600},
                            {"set_uid", ::getuid()}, {"set_gid", ::getgid()}, {"set_size", 2},
                            {"set_access_time_sec", 10}, {"set_access_time_nsec", 1},
                            {"set_modify_time_sec", 20}, {"set_modify_time_nsec", 2},
                            {"set_birth_time_sec", born.at("birth_time_sec")},
                            {"set_birth_time_nsec", born.at("birth_time_nsec")}});
    call("get_attributes", {{"node_id", file}, {"parent_id", root}, {"name", "f"}});
    EXPECT_EQ(nodeOf(call("lookup", {{"parent_id", root}, {"name", "f"}}), "lookup_item"), file);
    const uint64_t link =
        nodeOf(call("create_symlink", {{"parent_id", root}, {"name", "l"}, {"link_target", "f"}}), "item_attrs");
    EXPECT_EQ(call("readlink", {{"node_id", link}}).object.at("link_target"), "f");
    call("rename", {{"parent_id", root}, {"name", "f"}, {"new_parent_id", directory}, {"new_name", "g"}});

    const auto handle = call("open_directory", {{"node_id", root}}).object.at("handle_id");
    EXPECT_EQ(call("enumerate_directory", {{"parent_id", root}, {"handle_id", handle}, {"cookie", 0}, {"verifier", 1},
                                           {"max_entries", 128}})
                  .object.at("dir_items")
                  .as_array()
                  .size(),
              2u);
    call("close_directory", {{"node_id", root}, {"handle_id", handle}});

    call("set_xattr", {{"node_id", directory}, {"xattr_name", "k"}, {"xattr_flags", 0}}, "v");
    EXPECT_EQ(call("list_xattrs", {{"node_id", directory}}).object.at("xattr_names"), boost::json::array{"k"});
    EXPECT_EQ(call("get_xattr", {{"node_id", directory}, {"xattr_name", "k"}}).payload, "v");
    call("remove_xattr", {{"node_id", directory}, {"xattr_name", "k"}});
    call("set_lock", {{"node_id", directory}, {"lock_owner", 1}, {"lock_style", "posix"}, {"lock_type", "write"},
                      {"lock_start", 0}, {"lock_length", 10}, {"lock_pid", 7}});
    EXPECT_EQ(call("test_lock", {{"node_id", directory}, {"lock_owner", 1}, {"lock_style", "posix"}, {"lock_type", "read"}})
                  .object.at("lock_type"),
              "unlock");

    call("forget_nodes", {{"node_ids", boost::json::array{link}}, {"counts", boost::json::array{1}}});
    call("remove_file", {{"parent_id", directory}, {"name", "g"}});
    call("remove_directory", {{"parent_id", root}, {"name", "d"}});
    EXPECT_EQ(called, brindle::schema::methodNames());
}

}  // namespace servertest
