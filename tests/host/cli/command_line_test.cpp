#include "host/fuse/cli/command_line.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace brindle::host;

TEST(CommandLine, MountTakesTheMountHelperArgumentOrder) {
    auto parsed = parseCommandLine({"/run/s.json", "/mnt/x", "-o", "ro,allow_other", "-oattr_timeout=2", "-f"});
    ASSERT_TRUE(parsed.commandLine) << parsed.error;
    EXPECT_EQ(parsed.commandLine->command, Command::Mount);
    EXPECT_EQ(parsed.commandLine->sessionPath, "/run/s.json");
    EXPECT_EQ(parsed.commandLine->mountPoint, "/mnt/x");
    EXPECT_EQ(parsed.commandLine->mountOptions, (std::vector<std::string>{"ro", "allow_other", "attr_timeout=2"}));
    EXPECT_TRUE(parsed.commandLine->foreground);
}

TEST(CommandLine, ProbeAndCheckTakeOneSession) {
    auto probe = parseCommandLine({"--probe", "s.json", "-d"});
    ASSERT_TRUE(probe.commandLine);
    EXPECT_EQ(probe.commandLine->command, Command::Probe);
    EXPECT_TRUE(probe.commandLine->debug);
    EXPECT_TRUE(probe.commandLine->foreground) << "debug lines go to the terminal";
    EXPECT_EQ(parseCommandLine({"--check", "s.json"}).commandLine->command, Command::Check);
}

TEST(CommandLine, UsageErrorsSayWhatIsWrong) {
    EXPECT_EQ(parseCommandLine({}).error, "expected SESSION and MOUNTPOINT");
    EXPECT_EQ(parseCommandLine({"--probe"}).error, "expected exactly one SESSION file");
    EXPECT_EQ(parseCommandLine({"--probe", "a", "b"}).error, "expected exactly one SESSION file");
    EXPECT_EQ(parseCommandLine({"--probe", "a", "--check"}).error, "--probe and --check cannot be combined");
    EXPECT_EQ(parseCommandLine({"a", "b", "--bogus"}).error, "unknown option '--bogus'");
    EXPECT_EQ(parseCommandLine({"a", "b", "-o"}).error, "-o needs a list of options");
}

TEST(CommandLine, HelpAndVersionWinOverEverythingElse) {
    EXPECT_EQ(parseCommandLine({"--probe", "--help"}).commandLine->command, Command::Help);
    EXPECT_EQ(parseCommandLine({"x", "--version"}).commandLine->command, Command::Version);
}

TEST(CommandLine, PathsAreMadeAbsoluteAgainstTheStartingDirectory) {
    const auto parsed = parseCommandLine({"s.json", "./a/../mnt"});
    ASSERT_TRUE(parsed.commandLine) << parsed.error;
    const std::string here = std::filesystem::current_path().string();
    EXPECT_EQ(parsed.commandLine->sessionPath, here + "/s.json");
    EXPECT_EQ(parsed.commandLine->mountPoint, here + "/mnt");
    EXPECT_EQ(parseCommandLine({"--probe", "s.json"}).commandLine->sessionPath, here + "/s.json");
}

TEST(CommandLine, MountOptionsAreCheckedWithTheCommandLine) {
    EXPECT_EQ(parseCommandLine({"a", "b", "-o", "ro,bogus"}).error, "unknown mount option 'bogus'");
    const auto parsed = parseCommandLine({"a", "b", "-o", "ro,noexec", "-o", "rw"});
    ASSERT_TRUE(parsed.commandLine) << parsed.error;
    EXPECT_FALSE(parsed.commandLine->mount.readOnly) << "a later -o still overrides an earlier one";
    EXPECT_TRUE(parsed.commandLine->mount.noExec);
}
