#include "module/rpc/BrindleRPCClient.h"
#include "tests/module/rpc/scripted_server.h"
#include "protocol/schema.h"

#include <gtest/gtest.h>

using brindle::BrindleRPCClient;
using foundation::Error;

namespace {

using Outcome = rpctest::Await<bool>;
using Call = std::function<void(BrindleRPCClient&, std::shared_ptr<Outcome>)>;

// Every completion of the client takes (result, error); success is the absence of the error.
auto succeeded(std::shared_ptr<Outcome> outcome) {
    return [outcome](auto&&, std::optional<Error> error) { outcome->set(!error.has_value()); };
}

// One call of every client method, each form of a method with two, and set_attributes with
// none and with all of its optional keys.
std::vector<std::pair<std::string, Call>> everyClientCall() {
    auto buffer = std::make_shared<fskit::FSMutableFileDataBuffer>(16);
    return {
        {"ping", [](auto& c, auto o) { c.pingWithReply(succeeded(o)); }},
        {"synchronize", [](auto& c, auto o) { c.synchronizeWithFlags(1, succeeded(o)); }},
        {"get_root_attributes", [](auto& c, auto o) { c.fetchRootItemWithReply(succeeded(o)); }},
        {"statfs", [](auto& c, auto o) { c.fetchVolumeStatisticsWithReply(succeeded(o)); }},
        {"get_attributes", [](auto& c, auto o) { c.fetchAttributesForNodeID(5, 1, std::nullopt, succeeded(o)); }},
        {"lookup", [](auto& c, auto o) { c.lookupItemNamed("n", 1, succeeded(o)); }},
        {"enumerate_directory", [](auto& c, auto o) { c.enumerateDirectoryWithParentID(1, 3, 0, 1, 128, succeeded(o)); }},
        {"create_file", [](auto& c, auto o) { c.createFileNamed("f", 1, 0644, succeeded(o)); }},
        {"create_directory", [](auto& c, auto o) { c.createDirectoryNamed("d", 1, 0755, succeeded(o)); }},
        {"create_symlink", [](auto& c, auto o) { c.createSymbolicLinkNamed("l", 1, "f", succeeded(o)); }},
        {"remove_file", [](auto& c, auto o) { c.removeFileNamed("f", 1, succeeded(o)); }},
        {"remove_directory", [](auto& c, auto o) { c.removeDirectoryNamed("d", 1, succeeded(o)); }},
        {"rename", [](auto& c, auto o) { c.renameItemNamed("a", 1, "b", 2, succeeded(o)); }},
        {"set_attributes",
         [](auto& c, auto o) {
             c.setAttributesForNodeID(5, 1, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                      std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                      std::nullopt, succeeded(o));
         }},
        {"set_attributes",
         [](auto& c, auto o) {
             c.setAttributesForNodeID(5, 1, std::string("f"), 0640u, 1000u, 1000u, uint64_t{9}, int64_t{-1},
                                      int64_t{2}, int64_t{3}, int64_t{4}, int64_t{5}, int64_t{6}, succeeded(o));
         }},
        {"open", [](auto& c, auto o) { c.openItemWithNodeID(5, 3, succeeded(o)); }},
        {"open_directory", [](auto& c, auto o) { c.openDirectoryWithNodeID(1, succeeded(o)); }},
        {"close", [](auto& c, auto o) { c.closeItemWithNodeID(5, 0, succeeded(o)); }},
        {"close_directory", [](auto& c, auto o) { c.closeDirectoryWithNodeID(1, 3, succeeded(o)); }},
        {"read", [](auto& c, auto o) { c.readFileWithNodeID(5, 0, 4, succeeded(o)); }},
        {"read", [buffer](auto& c, auto o) { c.readFileWithNodeID(5, 0, 16, buffer, succeeded(o)); }},
        {"write", [](auto& c, auto o) { c.writeFileWithNodeID(5, 0, "data", succeeded(o)); }},
        {"readlink", [](auto& c, auto o) { c.readSymbolicLinkWithNodeID(6, succeeded(o)); }},
        {"list_xattrs", [](auto& c, auto o) { c.listXattrsForNodeID(5, succeeded(o)); }},
        {"get_xattr", [](auto& c, auto o) { c.getXattrNamed(std::string("k"), 5, succeeded(o)); }},
        {"set_xattr", [](auto& c, auto o) { c.setXattrNamed(std::string("k"), 5, 0, std::string("v"), succeeded(o)); }},
        {"remove_xattr", [](auto& c, auto o) { c.removeXattrNamed(std::string("k"), 5, succeeded(o)); }},
        {"set_lock",
         [](auto& c, auto o) {
             c.setLockOnNodeID(5, {.style = "posix", .type = "write", .owner = 1, .start = 2, .length = 3, .pid = 4},
                               succeeded(o));
         }},
        {"test_lock",
         [](auto& c, auto o) { c.testLockOnNodeID(5, {.style = "flock", .type = "read", .owner = 1}, succeeded(o)); }},
        {"wait_for_changes", [](auto& c, auto o) { c.waitForChanges(100, succeeded(o)); }},
        {"forget_nodes", [](auto& c, auto o) { c.forgetNodes({5, 6}, {1, 2}, succeeded(o)); }},
    };
}

bool replyCarriesPayload(const std::string& method) {
    return brindle::schema::methodEntry(method).at("reply").as_object().contains("payload");
}

const boost::json::object* resultOf(const std::string& method) {
    return brindle::schema::methodEntry(method).at("reply").at("result").if_object();
}

// Something of another JSON type than the result's.
boost::json::value misfitFor(const std::string& type) {
    return brindle::schema::schema().at("types").at(type).at("json") == "string" ? boost::json::value(7)
                                                                             : boost::json::value("7");
}

class SchemaAgreementTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto ready = std::make_shared<Outcome>();
        client->connectAndHandshakeWithReply([ready](bool ok, std::optional<Error>) { ready->set(ok); });
        peer = server.accept();
        ASSERT_TRUE(peer);
        auto handshake = peer->read();
        ASSERT_TRUE(handshake);
        for (const auto& problem : brindle::schema::requestProblems(handshake->json, handshake->payload.size())) {
            ADD_FAILURE() << problem;
        }
        // Every extension a client method belongs to, so that each is sent.
        peer->replyTo(*handshake, {{"ok", true}, {"session_id", "session-1"},
                                   {"extensions", boost::json::array(advertised.begin(), advertised.end())}});
        ASSERT_EQ(ready->get(), std::optional<bool>(true));
    }

    // Makes the call, holds its request against the schema, answers it with `reply` and returns
    // whether the caller was told of success.
    std::optional<bool> exchange(const std::string& method, const Call& call, const boost::json::object& reply) {
        auto outcome = std::make_shared<Outcome>();
        call(*client, outcome);
        auto frame = peer->read();
        if (!frame) return std::nullopt;
        EXPECT_EQ(frame->json.at("method"), boost::json::value(method));
        for (const auto& problem : brindle::schema::requestProblems(frame->json, frame->payload.size(), advertised)) {
            ADD_FAILURE() << problem;
        }
        peer->replyTo(*frame, reply, replyCarriesPayload(method) ? "bytes" : "");
        return outcome->get();
    }

    const std::set<std::string> advertised{"change_notices", "locks", "forget"};
    rpctest::ScriptedServer server;
    std::shared_ptr<BrindleRPCClient> client = BrindleRPCClient::initWithSession(server.session());
    std::unique_ptr<rpctest::Peer> peer;
};

}  // namespace

TEST_F(SchemaAgreementTest, EveryClientMethodSendsWhatTheSchemaDescribesAndTakesTheResultItNames) {
    std::set<std::string> called{"handshake"};
    for (const auto& [method, call] : everyClientCall()) {
        called.insert(method);
        auto reply = brindle::schema::exampleReply(method);
        // A reply key the schema requires beside the result, with a value the client accepts.
        if (method == "test_lock") reply["lock_type"] = "unlock";
        EXPECT_EQ(exchange(method, call, reply), std::optional<bool>(true)) << method;
    }
    EXPECT_EQ(called, brindle::schema::methodNames());
}

TEST_F(SchemaAgreementTest, AResultIsNeededExactlyWhereTheSchemaRequiresIt) {
    for (const auto& [method, call] : everyClientCall()) {
        const auto* result = resultOf(method);
        const bool required = (result != nullptr && result->at("required").as_bool()) || method == "test_lock";
        EXPECT_EQ(exchange(method, call, {{"ok", true}}), std::optional<bool>(!required)) << method << " without its result";
        if (result == nullptr) continue;
        const std::string type(result->at("type").as_string());
        const boost::json::object misfit{{"ok", true}, {result->at("key").as_string(), misfitFor(type)}};
        EXPECT_EQ(exchange(method, call, misfit), std::optional<bool>(!required)) << method << " with a result not " << type;
    }
}
