#include "server/command_line.h"

#include <gtest/gtest.h>

namespace brindle::server {
namespace {

ParsedCommandLine parse(std::vector<std::string> arguments) { return parseCommandLine(arguments); }

TEST(ServerCommandLine, ReadsEveryOption) {
    const auto parsed = parse({"--export", "/srv", "--session-file", "/run/s.json", "--listen", "tcp://127.0.0.1:9000",
                               "--readonly", "--namedattr", "--volume-name", "Vol", "--threads", "3", "-f", "-d",
                               "--allow-remote"});
    ASSERT_TRUE(parsed.error.empty()) << parsed.error;
    EXPECT_EQ(parsed.action, Action::Serve);
    const ServerOptions& o = parsed.options;
    EXPECT_EQ(o.exportDirectory, "/srv");
    EXPECT_EQ(o.sessionFile, "/run/s.json");
    EXPECT_EQ(listenEndpoint(o), "tcp://127.0.0.1:9000");
    EXPECT_TRUE(o.readonly && o.namedattr && o.foreground && o.debug && o.allowRemote);
    EXPECT_EQ(o.volumeName, "Vol");
    EXPECT_EQ(o.threads, 3u);
}

TEST(ServerCommandLine, DefaultsToASocketBesideTheSessionFile) {
    const auto parsed = parse({"--export", "/srv", "--session-file", "/run/s.json"});
    ASSERT_TRUE(parsed.error.empty());
    EXPECT_EQ(listenEndpoint(parsed.options), "unix:/run/s.json.sock");
    EXPECT_FALSE(parsed.options.readonly);
}

TEST(ServerCommandLine, HelpAndVersionNeedNothingElse) {
    EXPECT_EQ(parse({"--help"}).action, Action::Help);
    EXPECT_EQ(parse({"--version"}).action, Action::Version);
    EXPECT_EQ(parse({"-V"}).action, Action::Version);
    EXPECT_NE(versionText().find("brindle-server"), std::string::npos);
    EXPECT_NE(usageText().find("--allow-remote"), std::string::npos);
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
    };
    for (const auto& arguments : refused) EXPECT_FALSE(parse(arguments).error.empty()) << arguments.back();
}

TEST(ServerCommandLine, MakesPathsAbsoluteAgainstTheWorkingDirectory) {
    auto parsed = parse({"--export", "shared/./docs", "--session-file", "../run/s.json", "--listen", "unix:s.sock"});
    ASSERT_TRUE(parsed.error.empty()) << parsed.error;
    makePathsAbsolute(parsed.options, "/home/user/work");
    EXPECT_EQ(parsed.options.exportDirectory, "/home/user/work/shared/docs");
    EXPECT_EQ(parsed.options.sessionFile, "/home/user/run/s.json");
    EXPECT_EQ(parsed.options.listen, "unix:/home/user/work/s.sock");
}

TEST(ServerCommandLine, LeavesAbsolutePathsAndTcpEndpointsAsGiven) {
    auto parsed = parse({"--export", "/srv/x", "--session-file", "/run/s.json", "--listen", "tcp://127.0.0.1:9000"});
    ASSERT_TRUE(parsed.error.empty()) << parsed.error;
    makePathsAbsolute(parsed.options, "/home/user");
    EXPECT_EQ(parsed.options.exportDirectory, "/srv/x");
    EXPECT_EQ(parsed.options.sessionFile, "/run/s.json");
    EXPECT_EQ(parsed.options.listen, "tcp://127.0.0.1:9000");
}

}  // namespace
}  // namespace brindle::server
