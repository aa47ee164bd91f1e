#include "module/rpc/BrindleRPCClient.h"
#include "tests/module/rpc/scripted_server.h"

#include <gtest/gtest.h>

using brindle::BrindleRPCClient;
using foundation::Error;

namespace {

class ExtensionsTest : public ::testing::Test {
protected:
    // Connects the client and answers its handshake with `reply` (the request id added); returns
    // whether the client reported itself ready.
    std::optional<bool> handshakeAnsweredWith(boost::json::object reply) {
        auto ready = std::make_shared<rpctest::Await<bool>>();
        client->connectAndHandshakeWithReply([ready](bool ok, std::optional<Error>) { ready->set(ok); });
        peer = server.accept();
        if (!peer) return std::nullopt;
        auto handshake = peer->read();
        if (!handshake) return std::nullopt;
        peer->replyTo(*handshake, std::move(reply));
        return ready->get();
    }

    static boost::json::object accepted(boost::json::value extensions) {
        boost::json::object reply{{"ok", true}, {"session_id", "session-1"}};
        if (!extensions.is_null()) reply["extensions"] = std::move(extensions);
        return reply;
    }

    rpctest::ScriptedServer server;
    std::shared_ptr<BrindleRPCClient> client = BrindleRPCClient::initWithSession(server.session());
    std::unique_ptr<rpctest::Peer> peer;
};

}  // namespace

TEST_F(ExtensionsTest, AServerThatAdvertisesNothingIsSpokenToAsBefore) {
    EXPECT_EQ(handshakeAnsweredWith(accepted(nullptr)), std::optional<bool>(true));
    EXPECT_TRUE(client->serverExtensions().empty());
    EXPECT_FALSE(client->serverSupports("anything"));
}

TEST_F(ExtensionsTest, WhatTheServerAdvertisesIsKnownForThisConnection) {
    EXPECT_FALSE(client->serverSupports("sparse_files"));
    EXPECT_EQ(handshakeAnsweredWith(accepted(boost::json::array{"sparse_files", "from_the_future", "sparse_files"})),
              std::optional<bool>(true));
    EXPECT_TRUE(client->serverSupports("sparse_files"));
    EXPECT_TRUE(client->serverSupports("from_the_future"));
    EXPECT_FALSE(client->serverSupports("sparse"));
    EXPECT_EQ(client->serverExtensions(), (std::set<std::string>{"from_the_future", "sparse_files"}));
}

TEST_F(ExtensionsTest, AnExtensionsValueOfTheWrongShapeIsNoExtensionsAndNeverAFailure) {
    for (const auto& misfit : {boost::json::value("sparse_files"), boost::json::value(boost::json::array{"a", 1}),
                               boost::json::value(boost::json::object{{"a", true}}), boost::json::value(false)}) {
        client = BrindleRPCClient::initWithSession(server.session());
        EXPECT_EQ(handshakeAnsweredWith(accepted(misfit)), std::optional<bool>(true)) << misfit;
        EXPECT_TRUE(client->serverExtensions().empty()) << misfit;
    }
}

TEST_F(ExtensionsTest, ARefusedHandshakeTeachesNothingAndTheNextConnectionLearnsAnew) {
    EXPECT_EQ(handshakeAnsweredWith({{"ok", false}, {"errno", 1}, {"extensions", boost::json::array{"a"}}}),
              std::optional<bool>(false));
    EXPECT_FALSE(client->serverSupports("a"));
    EXPECT_EQ(handshakeAnsweredWith(accepted(boost::json::array{"b"})), std::optional<bool>(true));
    EXPECT_EQ(client->serverExtensions(), std::set<std::string>{"b"});
}
