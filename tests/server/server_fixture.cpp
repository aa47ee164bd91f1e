#include "tests/server/server_fixture.h"

#include <sys/stat.h>

namespace servertest {

void ServerFixture::startServer(ServerSetup setup) {
    server.reset();
    fileSystem.reset();
    ::mkdir(exportPath().c_str(), 0755);
    ::mkdir(outsidePath().c_str(), 0755);
    auto opened = brindle::passthrough::FileSystem::open(exportPath(), setup.fileSystem);
    ASSERT_TRUE(opened) << brindle::sdk::describe(opened.error());
    fileSystem = std::move(opened.value());
    setup.settings.sessionFile = sessionPath();
    setup.settings.threads = 4;
    auto started = brindle::sdk::Server::start(*fileSystem, setup.settings);
    ASSERT_TRUE(started) << brindle::sdk::describe(started.error());
    server = std::move(started.value());
}

std::unique_ptr<FrameClient> ServerFixture::connect(bool authenticated) const {
    auto client = std::make_unique<FrameClient>(server->endpoint());
    EXPECT_TRUE(client->connected());
    if (authenticated) {
        EXPECT_TRUE(client->handshake(server->authToken()));
    }
    return client;
}

uint64_t ServerFixture::lookup(FrameClient& client, uint64_t parent, const std::string& name) const {
    const auto answer = client.call({{"method", "lookup"}, {"parent_id", parent}, {"name", name}});
    if (!answer || !answer->ok()) return 0;
    return answer->object.at("lookup_item").as_object().at("node_id").to_number<uint64_t>();
}

}  // namespace servertest
