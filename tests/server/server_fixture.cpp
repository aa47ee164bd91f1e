#include "tests/server/server_fixture.h"

#include <sys/stat.h>

namespace servertest {

void ServerFixture::startServer(brindle::server::ServerOptions options, brindle::server::ServerLimits limits) {
    server.reset();
    ::mkdir(exportPath().c_str(), 0755);
    ::mkdir(outsidePath().c_str(), 0755);
    options.exportDirectory = exportPath();
    options.sessionFile = sessionPath();
    options.threads = 4;
    auto started = brindle::server::Server::start(options, limits);
    ASSERT_TRUE(started) << started.error().description();
    server = std::move(started.value());
}

std::unique_ptr<FrameClient> ServerFixture::connect(bool authenticated) const {
    auto client = std::make_unique<FrameClient>(server->endpoint());
    EXPECT_TRUE(client->connected());
    if (authenticated) {
        EXPECT_TRUE(client->handshake(server->secrets().authToken));
    }
    return client;
}

uint64_t ServerFixture::lookup(FrameClient& client, uint64_t parent, const std::string& name) const {
    const auto answer = client.call({{"method", "lookup"}, {"parent_id", parent}, {"name", name}});
    if (!answer || !answer->ok()) return 0;
    return answer->object.at("lookup_item").as_object().at("node_id").to_number<uint64_t>();
}

}  // namespace servertest
