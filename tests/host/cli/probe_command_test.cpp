#include "tests/host/brindle_process.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace {

using hosttest::CommandRun;
using hosttest::runBrindle;

class ProbeCommandTest : public ::testing::Test {
protected:
    CommandRun probe(const std::string& json) { return runBrindle("--probe " + dir.write("s.json", json) + " -f"); }
    testsupport::TempDir dir;
};

}  // namespace

TEST_F(ProbeCommandTest, ValidSessionIsUsable) {
    const CommandRun run = probe(R"({"session_id":"a","socket_path":"/tmp/s","auth_token":"tok-SECRET"})");
    EXPECT_EQ(run.status, 0) << run.output;
    const auto usable = run.output.find("usable: orvel ");
    ASSERT_NE(usable, std::string::npos) << run.output;
    const std::string uuid = run.output.substr(usable + 14, 37);
    ASSERT_EQ(uuid.size(), 37u) << run.output;
    EXPECT_EQ(uuid.back(), '\n') << run.output;
    EXPECT_TRUE(std::all_of(uuid.begin(), uuid.end() - 1,
                            [](unsigned char c) { return std::isxdigit(c) != 0 || c == '-'; }))
        << run.output;
    EXPECT_TRUE(run.output.find("orvel: probeResource returning usable result") != std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("tok-SECRET"), std::string::npos);
}

TEST_F(ProbeCommandTest, InvalidSessionsFailNamingTheFileAndTheKey) {
    struct Case {
        std::string json;
        std::string logLine;
        std::string error;
    };
    const std::vector<Case> cases = {
        {R"({"session_id":"a","socket_path":"/tmp/s"})", "orvel: session keys have invalid types",
         R"(EINVAL: "auth_token" is missing (22))"},
        {R"({"session_id":"a","socket_path":"/tmp/s","auth_token":""})", "orvel: session missing required keys",
         R"(EINVAL: "auth_token" is empty (22))"},
        {R"({"session_id":"a","socket_path":"/tmp/s","auth_token":"tok-SECRET","readonly":"true"})",
         "orvel: session keys have invalid types", R"(EINVAL: "readonly" must be true, false or a number (22))"},
        {R"({"session_id":"a","socket_path":"/tmp/s","auth_token":"tok-SECRET","volume_name":null})",
         "orvel: session keys have invalid types", R"(EINVAL: "volume_name" must be a string (22))"},
        {"[1,2,3]", "orvel: session json is invalid root object", "EINVAL: the top level is not an object (22)"},
        {"42", "orvel: session json is invalid root object",
         "invalid JSON: JSON text did not start with array or object and option to allow fragments not set."},
    };
    for (const auto& c : cases) {
        const CommandRun run = probe(c.json);
        EXPECT_EQ(run.status, 1) << c.json;
        EXPECT_NE(run.output.find(c.logLine), std::string::npos) << c.json << "\n" << run.output;
        EXPECT_NE(run.output.find("brindle: probe failed: session file " + dir.file("s.json") + ": " + c.error + "\n"),
                  std::string::npos)
            << c.json << "\n" << run.output;
        EXPECT_EQ(run.output.find("tok-SECRET"), std::string::npos);
    }
}

TEST_F(ProbeCommandTest, AMissingFileIsNamedWithTheLinuxError) {
    const CommandRun run = runBrindle("--probe " + dir.file("absent.json"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "brindle: probe failed: session file " + dir.file("absent.json") +
                              ": ENOENT: No such file or directory (2)\n");
}

TEST_F(ProbeCommandTest, UsageErrorsExitTwoWithAHint) {
    const CommandRun run = runBrindle("--probe");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("Try 'brindle --help'"), std::string::npos);
    const CommandRun help = runBrindle("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: brindle SESSION MOUNTPOINT"), std::string::npos);
}
