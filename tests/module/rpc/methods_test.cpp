#include "module/rpc/BrindleRPCClient.h"
#include "platform/foundation/errno_table.h"
#include "tests/module/rpc/scripted_server.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

using brindle::BrindleItem;
using brindle::BrindleRPCClient;
using foundation::Error;
using boost::json::object;
using boost::json::parse;
namespace darwin = foundation::darwin;

namespace {

using Result = rpctest::Await<std::string>;

// Results rendered as text, so that one table can state what every method hands on.
std::string describe(const std::optional<Error>& error) {
    if (!error) return "";
    return "error " + std::to_string(error->code()) + (error->message() ? " " + *error->message() : "");
}
auto success(std::shared_ptr<Result> out) {
    return [out](bool ok, std::optional<Error> error) { out->set((ok ? "yes" : "no") + (error ? " " + describe(error) : "")); };
}
auto item(std::shared_ptr<Result> out) {
    return [out](std::shared_ptr<BrindleItem> item, std::optional<Error> error) {
        out->set(item ? "item " + std::to_string(item->nodeID) + " '" + item->name + "'" +
                            (item->attributesLoaded ? "" : " placeholder") + (error ? " !" : "")
                      : "none " + describe(error));
    };
}
auto count(std::shared_ptr<Result> out) {
    return [out](uint64_t n, std::optional<Error> error) { out->set(std::to_string(n) + (error ? " " + describe(error) : "")); };
}
auto data(std::shared_ptr<Result> out) {
    return [out](std::optional<std::string> bytes, std::optional<Error> error) {
        out->set(bytes ? "data '" + *bytes + "'" + (error ? " !" : "") : "none " + describe(error));
    };
}

struct Case {
    const char* label;
    std::function<void(BrindleRPCClient&, std::shared_ptr<Result>)> call;
    const char* request;  // the JSON expected on the wire, without "request_id"
    std::string requestPayload;
    const char* reply;
    std::string replyPayload;
    std::string expected;
};

const char* kRecord = R"({"node_id":5,"parent_id":1,"type":"file"})";

std::vector<Case> cases() {
    const std::string record = kRecord;
    const auto withRecord = [&](const char* key) {
        static std::vector<std::string> texts;
        texts.push_back(std::string(R"({"ok":true,")") + key + R"(":)" + record + "}");
        return texts.back().c_str();
    };
    return {
        {"ping", [](auto& c, auto out) { c.pingWithReply(success(out)); }, R"({"method":"ping"})", "",
         R"({"ok":true})", "", "yes"},
        {"ping refused", [](auto& c, auto out) { c.pingWithReply(success(out)); }, R"({"method":"ping"})", "",
         R"({"ok":false})", "", "no error 5 ping failed"},
        {"synchronize", [](auto& c, auto out) { c.synchronizeWithFlags(3, success(out)); },
         R"({"method":"synchronize","sync_flags":3})", "", R"({"ok":false,"errno":30})", "",
         "no error 30 synchronize failed"},
        {"root", [](auto& c, auto out) { c.fetchRootItemWithReply(item(out)); }, R"({"method":"get_root_attributes"})",
         "", withRecord("root_attrs"), "", "item 5 '/' placeholder"},
        {"root without record", [](auto& c, auto out) { c.fetchRootItemWithReply(item(out)); },
         R"({"method":"get_root_attributes"})", "", R"({"ok":true,"root_attrs":[1]})", "",
         "none error 5 get_root_attributes failed"},
        {"attributes without a name", [](auto& c, auto out) { c.fetchAttributesForNodeID(5, 1, std::nullopt, item(out)); },
         R"({"method":"get_attributes","node_id":5,"parent_id":1,"name":""})", "", withRecord("item_attrs"), "",
         "item 5 '' placeholder"},
        {"lookup", [](auto& c, auto out) { c.lookupItemNamed("a.txt", 1, item(out)); },
         R"({"method":"lookup","parent_id":1,"name":"a.txt"})", "", withRecord("lookup_item"), "",
         "item 5 'a.txt' placeholder"},
        {"lookup failed", [](auto& c, auto out) { c.lookupItemNamed("x", 1, item(out)); },
         R"({"method":"lookup","parent_id":1,"name":"x"})", "", R"({"ok":false,"errno":2,"error":"gone"})", "",
         "none error 2 gone"},
        {"lookup with a malformed record", [](auto& c, auto out) { c.lookupItemNamed("x", 1, item(out)); },
         R"({"method":"lookup","parent_id":1,"name":"x"})", "",
         R"({"ok":true,"lookup_item":{"node_id":"5","parent_id":1,"type":"file"}})", "", "none error 22"},
        {"lookup without ok", [](auto& c, auto out) { c.lookupItemNamed("x", 1, item(out)); },
         R"({"method":"lookup","parent_id":1,"name":"x"})", "", R"({"lookup_item":{"node_id":5,"parent_id":1,"type":"file"}})",
         "", "none error 5 lookup failed"},
        {"create file", [](auto& c, auto out) { c.createFileNamed("f", 2, 0600, item(out)); },
         R"({"method":"create_file","parent_id":2,"name":"f","mode":384})", "", withRecord("item_attrs"), "",
         "item 5 'f' placeholder"},
        {"create directory", [](auto& c, auto out) { c.createDirectoryNamed("d", 2, 0755, item(out)); },
         R"({"method":"create_directory","parent_id":2,"name":"d","mode":493})", "", R"({"ok":true})", "",
         "none error 5 create_directory failed"},
        {"create symlink", [](auto& c, auto out) { c.createSymbolicLinkNamed("l", 2, std::nullopt, item(out)); },
         R"({"method":"create_symlink","parent_id":2,"name":"l","link_target":""})", "", withRecord("item_attrs"), "",
         "item 5 'l' placeholder"},
        {"remove file", [](auto& c, auto out) { c.removeFileNamed("f", 2, success(out)); },
         R"({"method":"remove_file","parent_id":2,"name":"f"})", "", R"({"ok":true})", "", "yes"},
        {"remove directory", [](auto& c, auto out) { c.removeDirectoryNamed("d", 2, success(out)); },
         R"({"method":"remove_directory","parent_id":2,"name":"d"})", "", R"({"ok":false,"error":"busy"})", "",
         "no error 5 busy"},
        {"rename", [](auto& c, auto out) { c.renameItemNamed("a", 2, "b", 3, success(out)); },
         R"({"method":"rename","parent_id":2,"name":"a","new_parent_id":3,"new_name":"b"})", "", R"({"ok":true})", "",
         "yes"},
        {"set attributes",
         [](auto& c, auto out) {
             c.setAttributesForNodeID(5, 1, std::string("f"), 420, std::nullopt, 20, 7, 11, std::nullopt, 12, 13,
                                      std::nullopt, 14, item(out));
         },
         R"({"method":"set_attributes","node_id":5,"parent_id":1,"name":"f","set_mode":420,"set_gid":20,"set_size":7,
             "set_modify_time_sec":12,"set_modify_time_nsec":13})",
         "", withRecord("item_attrs"), "", "item 5 'f' placeholder"},
        {"open", [](auto& c, auto out) { c.openItemWithNodeID(5, 3, success(out)); },
         R"({"method":"open","node_id":5,"open_modes":3})", "", R"({"ok":true})", "", "yes"},
        {"open directory", [](auto& c, auto out) { c.openDirectoryWithNodeID(2, count(out)); },
         R"({"method":"open_directory","node_id":2})", "", R"({"ok":true,"handle_id":77})", "", "77"},
        {"close", [](auto& c, auto out) { c.closeItemWithNodeID(5, 1, success(out)); },
         R"({"method":"close","node_id":5,"keeping_modes":1})", "", R"({"ok":true})", "", "yes"},
        {"close directory without handle", [](auto& c, auto out) { c.closeDirectoryWithNodeID(2, 77, count(out)); },
         R"({"method":"close_directory","node_id":2,"handle_id":77})", "", R"({"ok":true})", "",
         "0 error 5 close_directory failed"},
        {"read into data", [](auto& c, auto out) { c.readFileWithNodeID(5, 10, 4, data(out)); },
         R"({"method":"read","node_id":5,"offset":10,"length":4})", "", R"({"ok":true})", "abcdef", "data 'abcdef'"},
        {"read without payload", [](auto& c, auto out) { c.readFileWithNodeID(5, 10, 4, data(out)); },
         R"({"method":"read","node_id":5,"offset":10,"length":4})", "", R"({"ok":true})", "", "data ''"},
        {"write", [](auto& c, auto out) { c.writeFileWithNodeID(5, 8, std::string(4096, 'w'), count(out)); },
         R"({"method":"write","node_id":5,"offset":8,"length":4096})", std::string(4096, 'w'),
         R"({"ok":true,"write_size":100})", "", "100"},
        {"write without size", [](auto& c, auto out) { c.writeFileWithNodeID(5, 8, "xy", count(out)); },
         R"({"method":"write","node_id":5,"offset":8,"length":2})", "xy", R"({"ok":true})", "",
         "0 error 5 write failed"},
        {"readlink",
         [](auto& c, auto out) {
             c.readSymbolicLinkWithNodeID(6, [out](std::optional<std::string> target, std::optional<Error> error) {
                 out->set(target.value_or("none") + describe(error));
             });
         },
         R"({"method":"readlink","node_id":6})", "", R"({"ok":true,"link_target":"../t"})", "", "../t"},
        {"list xattrs",
         [](auto& c, auto out) {
             c.listXattrsForNodeID(6, [out](std::optional<std::vector<std::string>> names, std::optional<Error> error) {
                 std::string text = names ? "names" : "none";
                 for (const auto& name : names.value_or(std::vector<std::string>{})) text += " " + name;
                 out->set(text + describe(error));
             });
         },
         R"({"method":"list_xattrs","node_id":6})", "", R"({"ok":true,"xattr_names":["a","b"]})", "", "names a b"},
        {"list xattrs with a non-string",
         [](auto& c, auto out) {
             c.listXattrsForNodeID(6, [out](std::optional<std::vector<std::string>> names, std::optional<Error> error) {
                 out->set((names ? "names " : "none ") + describe(error));
             });
         },
         R"({"method":"list_xattrs","node_id":6})", "", R"({"ok":true,"xattr_names":["a",1]})", "", "none error 22"},
        {"get xattr", [](auto& c, auto out) { c.getXattrNamed(std::string("user.k"), 6, data(out)); },
         R"({"method":"get_xattr","node_id":6,"xattr_name":"user.k"})", "", R"({"ok":true})", "v", "data 'v'"},
        {"set xattr without value",
         [](auto& c, auto out) { c.setXattrNamed(std::string("user.k"), 6, 2, std::nullopt, success(out)); },
         R"({"method":"set_xattr","node_id":6,"xattr_name":"user.k","xattr_flags":2})", "", R"({"ok":true})", "",
         "yes"},
        {"remove xattr", [](auto& c, auto out) { c.removeXattrNamed(std::nullopt, 6, success(out)); },
         R"({"method":"remove_xattr","node_id":6,"xattr_name":""})", "", R"({"ok":false})", "",
         "no error 5 remove_xattr failed"},
    };
}

class MethodsTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto ready = std::make_shared<rpctest::Await<bool>>();
        client->connectAndHandshakeWithReply([ready](bool ok, std::optional<Error>) { ready->set(ok); });
        peer = server.accept();
        ASSERT_TRUE(peer);
        peer->acceptHandshake("session-1");
        ASSERT_EQ(ready->get(), std::optional<bool>(true));
    }

    // Sends one request, checks what arrived, answers it, and returns what the caller was handed.
    std::string exchange(const std::function<void(BrindleRPCClient&, std::shared_ptr<Result>)>& call,
                         const std::function<void(const rpctest::Frame&)>& check, const object& reply,
                         const std::string& replyPayload = {}) {
        auto out = std::make_shared<Result>();
        call(*client, out);
        auto frame = peer->read();
        if (!frame) return "no frame";
        check(*frame);
        peer->replyTo(*frame, reply, replyPayload);
        return out->get().value_or("no completion");
    }

    rpctest::ScriptedServer server;
    std::shared_ptr<BrindleRPCClient> client = BrindleRPCClient::initWithSession(server.session());
    std::unique_ptr<rpctest::Peer> peer;
};

}  // namespace

TEST_F(MethodsTest, EveryMethodSendsItsKeysAndJudgesItsReply) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.label);
        const auto check = [&](const rpctest::Frame& frame) {
            object sent = frame.json;
            EXPECT_TRUE(sent.contains("request_id"));
            sent.erase("request_id");
            EXPECT_EQ(sent, parse(c.request).as_object());
            EXPECT_EQ(frame.payload, c.requestPayload);
        };
        EXPECT_EQ(exchange(c.call, check, parse(c.reply).as_object(), c.replyPayload), c.expected);
    }
}

TEST_F(MethodsTest, StatisticsAskForNodeOneAndDefaultEveryMissingValueToZero) {
    auto out = std::make_shared<rpctest::Await<std::optional<object>>>();
    client->fetchVolumeStatisticsWithReply(
        [out](std::optional<object> statistics, std::optional<Error>) { out->set(std::move(statistics)); });
    auto frame = peer->read();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->json.at("method"), "statfs");
    EXPECT_EQ(frame->json.at("node_id"), 1);
    peer->replyTo(*frame, {{"ok", true}, {"blocks", 100}, {"files", "many"}});
    const auto statistics = out->get();
    ASSERT_TRUE(statistics && *statistics);
    EXPECT_EQ(**statistics, parse(R"({"block_size":0,"io_size":0,"blocks":100,"free_blocks":0,
        "available_blocks":0,"files":0,"free_files":0})").as_object());
}

TEST_F(MethodsTest, EnumerationKeepsOrderAndDropsEverythingOnABadEntry) {
    testsupport::LogCapture log;
    const auto list = [](std::shared_ptr<Result> out) {
        return [out](std::optional<std::vector<std::shared_ptr<BrindleItem>>> items, std::optional<Error> error) {
            std::string text = items ? "items" : "none";
            for (const auto& item : items.value_or(std::vector<std::shared_ptr<BrindleItem>>{})) {
                text += " " + item->name + "@" + std::to_string(item->directoryCookie);
            }
            out->set(text + (error ? " " + describe(error) : ""));
        };
    };
    const auto call = [&](auto& c, auto out) { c.enumerateDirectoryWithParentID(2, 3, 4, 5, 6, list(out)); };
    const auto check = [](const rpctest::Frame& frame) {
        object sent = frame.json;
        sent.erase("request_id");
        EXPECT_EQ(sent, parse(R"({"method":"enumerate_directory","parent_id":2,"handle_id":3,"cookie":4,
            "verifier":5,"max_entries":6})").as_object());
    };
    EXPECT_EQ(exchange(call, check, parse(R"({"ok":true,"dir_items":[
        {"node_id":7,"parent_id":2,"type":"file","name":"a","next_cookie":1},
        {"node_id":8,"parent_id":2,"type":"directory","name":"b","next_cookie":2}]})").as_object()),
              "items a@1 b@2");
    EXPECT_TRUE(log.sink().containsAt(logging::Level::Debug,
                                      "orvel: rpc enumerateDirectory parentID=2 handleID=3 cookie=4 verifier=5 maxEntries=6"));
    EXPECT_TRUE(log.sink().containsAt(logging::Level::Debug, "orvel: rpc enumerateDirectory returned 2 items"));
    EXPECT_EQ(exchange(call, check, parse(R"({"ok":true})").as_object()), "items");
    EXPECT_EQ(exchange(call, check, parse(R"({"ok":false})").as_object()), "none error 5 enumerate_directory failed");
    EXPECT_EQ(exchange(call, check, parse(R"({"ok":true,"dir_items":[
        {"node_id":7,"parent_id":2,"type":"file"},{"node_id":8,"parent_id":2,"type":"file"},
        {"node_id":9,"parent_id":2,"type":"door"}]})").as_object()), "none error 22");
    EXPECT_EQ(exchange(call, check, parse(R"({"ok":true,"dir_items":[3]})").as_object()), "none error 22");
}

TEST_F(MethodsTest, ADirectReadTakesAtMostTheBufferAndReportsTheCount) {
    auto buffer = std::make_shared<fskit::FSMutableFileDataBuffer>(4096);
    const auto call = [&](auto& c, auto out) { c.readFileWithNodeID(5, 0, 8192, buffer, count(out)); };
    const auto check = [](const rpctest::Frame& frame) { EXPECT_EQ(frame.json.at("length"), 8192); };
    EXPECT_EQ(exchange(call, check, {{"ok", true}}, std::string(8192, 'r')), "4096");
    EXPECT_EQ(std::string(static_cast<const char*>(buffer->bytes()), 4096), std::string(4096, 'r'));
    EXPECT_EQ(exchange(call, check, {{"ok", true}}), "0");
    EXPECT_EQ(exchange(call, check, {{"ok", true}, {"payload_length", 4096}}), "0")
        << "a count the server claims without sending the bytes";
    EXPECT_EQ(exchange(call, check, {{"ok", false}, {"errno", 9}}, "zz"), "0 error 9 read failed");
}

TEST(MethodsTransportTest, ATransportFailureReachesEveryResultKindAsItsNoResult) {
    auto client = BrindleRPCClient::initWithSession(rpctest::sessionForEndpoint("/nonexistent/brindle.sock"));
    auto flag = std::make_shared<Result>();
    auto number = std::make_shared<Result>();
    auto single = std::make_shared<Result>();
    client->pingWithReply(success(flag));
    client->writeFileWithNodeID(1, 0, "x", count(number));
    client->lookupItemNamed("a", 1, item(single));
    EXPECT_EQ(flag->get(), std::optional<std::string>("no error 2"));
    EXPECT_EQ(number->get(), std::optional<std::string>("0 error 2"));
    EXPECT_EQ(single->get(), std::optional<std::string>("none error 2"));
}
