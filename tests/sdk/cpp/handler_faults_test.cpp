#include "brindle/server.h"
#include "tests/support/frame_client.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace brindle::sdk {
namespace {

using testsupport::Answer;
using testsupport::FrameClient;

Attributes fileAttributes() {
    Attributes attributes;
    attributes.mode = 0644;
    attributes.size = 3;
    return attributes;
}

// Each name looked up in the root picks a fault; every other method has one of its own.
class Faulty final : public Backend {
public:
    Capabilities capabilities() const override { return {false, true, {std::string(extension::createOpens)}}; }
    bool issued(NodeId node) const override { return nodes_.issued(node); }

    Result<Item> getRootAttributes(const Call&) override {
        Attributes attributes;
        attributes.type = ItemType::directory;
        attributes.mode = 0755;
        return Item{kRootNode, attributes};
    }
    Result<Item> lookup(const Call&, NodeId, const std::string& name) override {
        Item item{fine_, fileAttributes()};
        if (name == "fine" || name == "kept") return item;
        if (name == "zero-id") item.node = 0;
        if (name == "never-issued") item.node = 999;
        if (name == "odd-type") item.attributes.type = static_cast<ItemType>(42);
        if (name == "bad-time") item.attributes.modifyTime.nanoseconds = 1'500'000'000;
        if (name == "throws") throw std::runtime_error("disk on fire");
        if (name == "throws-int") throw 42;
        if (name == "gone") return Errno::enoent;
        if (name == "linux-errno") return Error::fromLinux(ENODATA);
        if (name == "bad-message") return Error(Errno::eacces, "caf\xe9");
        if (name == "broken") return Error(Errno::eio, "a broken entry");
        return item;
    }
    // Answers for another node than the one asked about, or with a name no frame can carry.
    Result<Item> getAttributes(const Call&, NodeId node) override {
        Item item{node == fine_ ? fine_ : fine_ + 1, fileAttributes()};
        item.name = "caf\xe9";
        return item;
    }
    Result<std::string> readlink(const Call&, NodeId) override { return std::string("caf\xe9"); }
    // A create whose record cannot go out, since its type is none of the seven.
    Result<Item> createFile(const Call&, NodeId, const std::string&, uint32_t) override {
        Item item{fine_, fileAttributes()};
        item.attributes.type = static_cast<ItemType>(42);
        return item;
    }
    Result<std::shared_ptr<OpenFile>> open(const Call&, NodeId, uint32_t) override {
        ++opens;
        return std::shared_ptr<OpenFile>();
    }
    Result<size_t> read(const Call&, NodeId, uint64_t, std::span<char> buffer) override { return buffer.size() + 1; }
    Result<size_t> write(const Call&, NodeId, uint64_t, std::string_view data) override { return data.size() + 1; }
    Result<std::shared_ptr<OpenDirectory>> openDirectory(const Call&, NodeId) override {
        return std::make_shared<OpenDirectory>();
    }
    Result<void> listDirectory(const Call&, NodeId, Listing& names) override {
        for (const char* name : {"caf\xe9", "a/b", ".", "..", "", "broken", "gone", "kept"}) names.add(name);
        return {};
    }
    Result<std::vector<std::string>> listXattrs(const Call&, NodeId) override {
        return std::vector<std::string>{"ok", "caf\xe9"};
    }

    std::atomic<int> opens = 0;

private:
    NodeTable<int> nodes_{0};
    const NodeId fine_ = nodes_.add(0);
};

class HandlerFaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServerSettings settings;
        settings.sessionFile = directory.path() + "/session.json";
        auto started = Server::start(backend, settings);
        ASSERT_TRUE(started) << describe(started.error());
        server = std::move(started.value());
        client = std::make_unique<FrameClient>(server->endpoint());
        ASSERT_TRUE(client->handshake(server->authToken()));
    }

    // The reply must fail with `code` and a message that begins with `message`.
    void expectRefused(boost::json::object request, int code, const std::string& message,
                       const std::string& payload = "") {
        const auto answer = client->call(request, payload);
        ASSERT_TRUE(answer) << "the connection ended at " << boost::json::serialize(request);
        EXPECT_FALSE(answer->ok()) << boost::json::serialize(request);
        EXPECT_EQ(answer->errnoCode(), code) << boost::json::serialize(answer->object);
        const std::string text(answer->object.at("error").as_string());
        EXPECT_EQ(text.substr(0, message.size()), message) << boost::json::serialize(request);
    }

    testsupport::LogCapture log;
    testsupport::TempDir directory;
    Faulty backend;
    std::unique_ptr<Server> server;
    std::unique_ptr<FrameClient> client;
};

boost::json::object lookupOf(const std::string& name) {
    return {{"method", "lookup"}, {"parent_id", 1}, {"name", name}};
}

TEST_F(HandlerFaultsTest, ResultsThatCannotGoOutAreAnsweredEioNamingMethodAndProblemAndTheConnectionGoesOn) {
    expectRefused(lookupOf("zero-id"), 5, "lookup: the handler's node id is 0");
    expectRefused(lookupOf("never-issued"), 5, "lookup: the handler answered with node 999, which it never issued");
    expectRefused(lookupOf("odd-type"), 5, "lookup: the handler's type 42 is none of the seven");
    expectRefused(lookupOf("bad-time"), 5, "lookup: the handler's modification time has 1500000000 nanoseconds");
    expectRefused(lookupOf("throws"), 5, "lookup: the handler threw: disk on fire");
    expectRefused(lookupOf("throws-int"), 5, "lookup: the handler threw something other than an exception");
    expectRefused({{"method", "get_attributes"}, {"node_id", 1}}, 5,
                  "get_attributes: the handler answered for node 3 when asked about node 1");
    expectRefused({{"method", "get_attributes"}, {"node_id", 2}}, 5, "get_attributes: the handler's name is not UTF-8");
    expectRefused({{"method", "readlink"}, {"node_id", 2}}, 5, "readlink: the handler's link target is not UTF-8");
    expectRefused({{"method", "open"}, {"node_id", 2}, {"open_modes", 1}}, 5,
                  "open: the handler returned no open file");
    // The client cannot name a file whose record did not go out, so it could never close it.
    const int opensBefore = backend.opens;
    expectRefused({{"method", "create_file"}, {"parent_id", 1}, {"name", "new"}, {"mode", 0644}, {"open_modes", 3}}, 5,
                  "create_file: the handler's type 42 is none of the seven");
    EXPECT_EQ(backend.opens, opensBefore) << "a create answered with an error left the file open";
    expectRefused({{"method", "read"}, {"node_id", 2}, {"offset", 0}, {"length", 10}}, 5,
                  "read: the handler read 11 bytes into a buffer of 10");
    expectRefused({{"method", "write"}, {"node_id", 2}, {"offset", 0}, {"length", 3}}, 5,
                  "write: the handler wrote 4 bytes of 3", "abc");

    // The same connection, and the server, still serve.
    const auto fine = client->call(lookupOf("fine"));
    ASSERT_TRUE(fine && fine->ok());
    EXPECT_EQ(fine->object.at("lookup_item").at("node_id"), 2);
    EXPECT_EQ(fine->object.at("lookup_item").at("name"), "fine");
    FrameClient other(server->endpoint());
    ASSERT_TRUE(other.handshake(server->authToken()));
    EXPECT_TRUE(other.call({{"method", "ping"}})->ok());

    EXPECT_TRUE(log.sink().contains("orvel: server answered EIO: lookup: the handler threw: disk on fire"));
}

TEST_F(HandlerFaultsTest, ErrorsGoOutInDarwinNumbersWithTextThatFramesCanCarry) {
    expectRefused(lookupOf("gone"), 2, "No such file or directory");
    expectRefused(lookupOf("linux-errno"), 93, "Attribute not found");
    // A message that is not UTF-8 would make the client refuse the whole frame.
    expectRefused(lookupOf("bad-message"), 13, "Permission denied");
    expectRefused({{"method", "remove_file"}, {"parent_id", 1}, {"name", "x"}}, 78,
                  "not implemented by this server");
}

TEST_F(HandlerFaultsTest, ListingsAndAttributeListsLeaveOutWhatNoClientCouldBeSent) {
    const auto opened = client->call({{"method", "open_directory"}, {"node_id", 1}});
    ASSERT_TRUE(opened && opened->ok());
    const auto listed = client->call({{"method", "enumerate_directory"}, {"parent_id", 1},
                                      {"handle_id", opened->object.at("handle_id")}, {"cookie", 0}});
    ASSERT_TRUE(listed && listed->ok()) << boost::json::serialize(listed->object);
    const auto& entries = listed->object.at("dir_items").as_array();
    ASSERT_EQ(entries.size(), 1u) << boost::json::serialize(entries);
    EXPECT_EQ(entries[0].at("name"), "kept");
    EXPECT_TRUE(log.sink().contains("left 3 entries out of the listing of node 1"));
    EXPECT_TRUE(log.sink().contains("left \"broken\" out of a listing of node 1: EIO a broken entry"));

    const auto names = client->call({{"method", "list_xattrs"}, {"node_id", 2}});
    ASSERT_TRUE(names && names->ok());
    EXPECT_EQ(names->object.at("xattr_names"), (boost::json::array{"ok"}));
}

}  // namespace
}  // namespace brindle::sdk
