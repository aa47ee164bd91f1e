#pragma once

#include "brindle/serving.h"
#include "server/passthrough/file_system.h"
#include "tests/support/frame_client.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace servertest {

using testsupport::Answer;
using testsupport::FrameClient;
using testsupport::header;

// What a test serves its export with; the fixture fills in the export and the session file.
struct ServerSetup {
    brindle::passthrough::FileSystemOptions fileSystem;
    brindle::sdk::ServerSettings settings;
};

// brindle-server exporting a fresh directory (with a sibling directory outside the export, so
// escapes have something to reach for), started in-process.
class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override { startServer({}); }
    void TearDown() override {
        server.reset();
        fileSystem.reset();
    }

    void startServer(ServerSetup setup);
    std::unique_ptr<FrameClient> connect(bool authenticated = true) const;

    std::string exportPath() const { return directory.path() + "/export"; }
    std::string outsidePath() const { return directory.path() + "/outside"; }
    std::string sessionPath() const { return directory.path() + "/session.json"; }

    // Looks `name` up in `parent` and returns its node id, or 0.
    uint64_t lookup(FrameClient& client, uint64_t parent, const std::string& name) const;

    testsupport::TempDir directory;
    std::unique_ptr<brindle::passthrough::FileSystem> fileSystem;
    std::unique_ptr<brindle::sdk::Server> server;
};

}  // namespace servertest
