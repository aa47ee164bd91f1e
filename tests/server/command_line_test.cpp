#include "server/command_line.h"

#include <gtest/gtest.h>

namespace brindle::server {
namespace {

struct Parsed {
    sdk::CommandLine::Parsed outcome;
    ServerOptions options;
};

Parsed parse(const std::vector<std::string>& arguments) {
    ServerCommandLine line;
    const auto outcome = line.parse(arguments);
    return {outcome, line.options};
}

TEST(ServerCommandLine, ReadsEveryOption) {
    const auto parsed = parse({"--export", "/srv", "--session-file", "/run/s.json", "--listen", "tcp://127.0.0.1:9000",
                               "--readonly", "--namedattr", "--volume-name", "Vol", "--threads", "3", "-f", "-d",
                               "--allow-remote"});
    ASSERT_TRUE(parsed.outcome.error.empty()) << parsed.outcome.error;
    EXPECT_EQ(parsed.outcome.action, sdk::CommandLine::Action::Serve);
    const ServerOptions& o = parsed.options;
    EXPECT_EQ(o.exportDirectory, "/srv");
    EXPECT_EQ(o.program.server.sessionFile, "/run/s.json");
    EXPECT_EQ(sdk::listenEndpoint(o.program.server), "tcp://127.0.0.1:9000");
    EXPECT_TRUE(o.fileSystem.readonly && o.fileSystem.namedattr && o.program.foreground && o.program.debug &&
                o.program.server.allowRemote);
    EXPECT_EQ(o.program.server.volumeName, "Vol");
    EXPECT_EQ(o.program.server.threads, 3u);

    const auto attached = parse({"--export=/srv", "--session-file=/run/s.json", "--threads=2", "--volume-name=a=b"});
    ASSERT_TRUE(attached.outcome.error.empty()) << attached.outcome.error;
    EXPECT_EQ(attached.options.exportDirectory, "/srv");
    EXPECT_EQ(attached.options.program.server.sessionFile, "/run/s.json");
    EXPECT_EQ(attached.options.program.server.threads, 2u);
    EXPECT_EQ(attached.options.program.server.volumeName, "a=b");
}

TEST(ServerCommandLine, DefaultsToASocketBesideTheSessionFile) {
    const auto parsed = parse({"--export", "/srv", "--session-file", "/run/s.json"});
    ASSERT_TRUE(parsed.outcome.error.empty());
    EXPECT_EQ(sdk::listenEndpoint(parsed.options.program.server), "unix:/run/s.json.sock");
    EXPECT_FALSE(parsed.options.fileSystem.readonly);
}

TEST(ServerCommandLine, HelpAndVersionNeedNothingElse) {
    EXPECT_EQ(parse({"--help"}).outcome.action, sdk::CommandLine::Action::Help);
    EXPECT_EQ(parse({"--version"}).outcome.action, sdk::CommandLine::Action::Version);
    EXPECT_EQ(parse({"-V"}).outcome.action, sdk::CommandLine::Action::Version);
    ServerCommandLine line;
    EXPECT_NE(line.line().version().find("brindle-server"), std::string::npos);
    EXPECT_NE(line.line().usage().find("--allow-remote"), std::string::npos);
    EXPECT_NE(line.line().usage().find("Usage: brindle-server --export DIR --session-file PATH"), std::string::npos);
}

TEST(ServerCommandLine, RefusesIncompleteOrUnknownArguments) {
    const std::vector<std::vector<std::string>> refused{
        {"--session-file", "/s"},
        {"--export", "/srv"},
        {"--export", "/srv", "--session-file"},
        {"--export", "/srv", "--session-file", "/s", "--listen", "http://x"},
        {"--export", "/srv", "--session-file", "/s", "--threads", "0"},
        {"--export", "/srv", "--session-file", "/s", "--threads", "4x"},
        {"--export", "/srv", "--session-file", "/s", "--bogus"},
        {"--session-file", "/s", "--export"},
        {"--export", "/srv", "--session-file", "/s", "--readonly=yes"},
        {"--export", "/srv", "--session-file", "/s", "-f", "--allow-remote=1"},
        {"--export", "/srv", "--session-file", "/s", "--threads="},
    };
    for (const auto& arguments : refused) EXPECT_FALSE(parse(arguments).outcome.error.empty()) << arguments.back();
}

TEST(ServerCommandLine, MakesPathsAbsoluteAgainstTheWorkingDirectory) {
    auto parsed = parse({"--export", "shared/./docs", "--session-file", "../run/s.json", "--listen", "unix:s.sock"});
    ASSERT_TRUE(parsed.outcome.error.empty()) << parsed.outcome.error;
    makePathsAbsolute(parsed.options, "/home/user/work");
    EXPECT_EQ(parsed.options.exportDirectory, "/home/user/work/shared/docs");
    EXPECT_EQ(parsed.options.program.server.sessionFile, "/home/user/run/s.json");
    EXPECT_EQ(parsed.options.program.server.listen, "unix:/home/user/work/s.sock");
}

TEST(ServerCommandLine, LeavesAbsolutePathsAndTcpEndpointsAsGiven) {
    auto parsed = parse({"--export", "/srv/x", "--session-file", "/run/s.json", "--listen", "tcp://127.0.0.1:9000"});
    ASSERT_TRUE(parsed.outcome.error.empty()) << parsed.outcome.error;
    makePathsAbsolute(parsed.options, "/home/user");
    EXPECT_EQ(parsed.options.exportDirectory, "/srv/x");
    EXPECT_EQ(parsed.options.program.server.sessionFile, "/run/s.json");
    EXPECT_EQ(parsed.options.program.server.listen, "tcp://127.0.0.1:9000");
}

}  // namespace
}  // namespace brindle::server
