#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <regex>
#include <sys/wait.h>

namespace {

struct CommandRun {
    int status = -1;
    std::string output;  // standard output and standard error together
};

CommandRun runBrindle(const std::string& arguments) {
    CommandRun run;
    const std::string command = std::string(BRINDLE_EXECUTABLE) + " " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) run.output.append(chunk.data(), n);
    const int raw = ::pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

class ProbeCommandTest : public ::testing::Test {
protected:
    CommandRun probe(const std::string& json) { return runBrindle("--probe " + dir.write("s.json", json) + " -f"); }
    testsupport::TempDir dir;
};

}  // namespace

TEST_F(ProbeCommandTest, ValidSessionIsUsable) {
    const CommandRun run = probe(R"({"session_id":"a","socket_path":"/tmp/s","auth_token":"tok-SECRET"})");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(std::regex_search(run.output, std::regex("usable: orvel [0-9A-F-]{36}\n"))) << run.output;
    EXPECT_TRUE(run.output.find("orvel: probeResource returning usable result") != std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("tok-SECRET"), std::string::npos);
}

TEST_F(ProbeCommandTest, InvalidSessionsFailWithTheirError) {
    struct Case {
        std::string json;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {R"({"session_id":"a","socket_path":"/tmp/s"})", "orvel: session keys have invalid types"},
        {R"({"session_id":"a","socket_path":"/tmp/s","auth_token":""})", "orvel: session missing required keys"},
        {R"({"session_id":"a","socket_path":"/tmp/s","auth_token":"tok-SECRET","readonly":"true"})",
         "POSIX error 22 (EINVAL)"},
        {R"({"session_id":"a","socket_path":"/tmp/s","auth_token":"tok-SECRET","volume_name":null})",
         "POSIX error 22 (EINVAL)"},
        {"[1,2,3]", "POSIX error 22 (EINVAL)"},
        {"42", "json-parse error"},
    };
    for (const auto& c : cases) {
        const CommandRun run = probe(c.json);
        EXPECT_EQ(run.status, 1) << c.json;
        EXPECT_NE(run.output.find(c.expected), std::string::npos) << c.json << "\n" << run.output;
        EXPECT_EQ(run.output.find("tok-SECRET"), std::string::npos);
    }
}

TEST_F(ProbeCommandTest, MissingFileIsAReadError) {
    const CommandRun run = runBrindle("--probe " + dir.file("absent.json"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("file-read error 2 (ENOENT)"), std::string::npos) << run.output;
}

TEST_F(ProbeCommandTest, UsageErrorsExitTwoWithAHint) {
    const CommandRun run = runBrindle("--probe");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("Try 'brindle --help'"), std::string::npos);
    const CommandRun help = runBrindle("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: brindle SESSION MOUNTPOINT"), std::string::npos);
}
