#include "host/fuse/options/mount_options.h"

#include <gtest/gtest.h>

using namespace brindle::host;
using namespace std::chrono_literals;

namespace {

MountOptions parsed(const std::vector<std::string>& options) {
    const auto outcome = parseMountOptions(options);
    EXPECT_TRUE(outcome.options) << outcome.error;
    return outcome.options.value_or(MountOptions{});
}

}  // namespace

TEST(MountOptions, DefaultsKeepPermissionChecksTimeoutsAndTheKernelsSafeFlags) {
    const MountOptions options = parsed({});
    EXPECT_TRUE(options.defaultPermissions);
    EXPECT_FALSE(options.allowOther);
    EXPECT_FALSE(options.readOnly);
    EXPECT_FALSE(options.writebackCache);
    EXPECT_TRUE(options.noSuid);
    EXPECT_TRUE(options.noDev);
    EXPECT_FALSE(options.noExec);
    EXPECT_EQ(options.pageCache, PageCachePolicy::CloseToOpen);
    EXPECT_EQ(options.requestTimeout, 30s);
    EXPECT_FALSE(options.maxRead);
    EXPECT_DOUBLE_EQ(options.attrTimeout, 1.0);
    EXPECT_DOUBLE_EQ(options.entryTimeout, 1.0);
    EXPECT_DOUBLE_EQ(negativeEntryTimeout(options), 1.0);
}

TEST(MountOptions, AMissingNameIsRememberedAsLongAsANameUnlessToldOtherwise) {
    EXPECT_DOUBLE_EQ(negativeEntryTimeout(parsed({"entry_timeout=5"})), 5.0);
    EXPECT_DOUBLE_EQ(negativeEntryTimeout(parsed({"entry_timeout=5", "negative_timeout=0"})), 0.0);
    EXPECT_DOUBLE_EQ(negativeEntryTimeout(parsed({"negative_timeout=0.5", "entry_timeout=5"})), 0.5);
    EXPECT_FALSE(parseMountOptions({"negative_timeout=-1"}).options);
    EXPECT_FALSE(parseMountOptions({"negative_timeout="}).options);
}

TEST(MountOptions, KnownOptionsAreApplied) {
    const MountOptions options =
        parsed({"allow_root", "nodefault_permissions", "writeback_cache", "fsname=demo", "subtype=x",
                "attr_timeout=2.5", "entry_timeout=0", "noexec", "sync", "dirsync", "noatime", "auto_unmount",
                "uid=1234", "gid=77", "umask=027", "max_read=65536", "timeout=2.5", "kernel_cache", "reconnect"});
    EXPECT_TRUE(options.allowRoot);
    EXPECT_FALSE(options.defaultPermissions);
    EXPECT_TRUE(options.writebackCache);
    EXPECT_EQ(options.fsname, "demo");
    EXPECT_EQ(options.subtype, "x");
    EXPECT_DOUBLE_EQ(options.attrTimeout, 2.5);
    EXPECT_DOUBLE_EQ(options.entryTimeout, 0.0);
    EXPECT_TRUE(options.noExec);
    EXPECT_TRUE(options.synchronous);
    EXPECT_TRUE(options.dirSync);
    EXPECT_TRUE(options.noAccessTimes);
    EXPECT_TRUE(options.autoUnmount);
    EXPECT_EQ(options.presentation.owner, 1234u);
    EXPECT_EQ(options.presentation.group, 77u);
    EXPECT_EQ(options.presentation.umask, 027u);
    EXPECT_EQ(options.maxRead, 65536u);
    EXPECT_EQ(options.requestTimeout, 2500ms);
    EXPECT_EQ(options.pageCache, PageCachePolicy::KeepAlways);
    EXPECT_TRUE(options.reconnect);
    EXPECT_FALSE(parsed({}).reconnect) << "a mount fails fast unless asked to reconnect";
    EXPECT_EQ(parsed({"timeout=0"}).requestTimeout, 0ms) << "zero waits for ever";
}

TEST(MountOptions, OfTwoContradictingOptionsTheLaterWins) {
    EXPECT_FALSE(parsed({"ro", "rw"}).readOnly);
    EXPECT_TRUE(parsed({"rw", "ro"}).readOnly);
    EXPECT_FALSE(parsed({"noexec", "exec"}).noExec);
    EXPECT_FALSE(parsed({"nosuid", "suid"}).noSuid);
    EXPECT_FALSE(parsed({"nodev", "dev"}).noDev);
    EXPECT_FALSE(parsed({"sync", "async"}).synchronous);
    EXPECT_FALSE(parsed({"noatime", "relatime"}).noAccessTimes);
    EXPECT_EQ(parsed({"kernel_cache", "auto_cache"}).pageCache, PageCachePolicy::KeepWhileUnchanged);
    EXPECT_EQ(parsed({"kernel_cache", "reread_on_open"}).pageCache, PageCachePolicy::DropOnOpen);
    EXPECT_EQ(parsed({"uid=1", "uid=2"}).presentation.owner, 2u);
}

TEST(MountOptions, OptionsMeantForOtherProgramsAreIgnored) {
    const MountOptions options =
        parsed({"auto", "noauto", "user", "nouser", "users", "_netdev", "nofail", "defaults", "x-systemd.automount",
                "x-systemd.requires=brindle-server@demo.service", "comment=systemd.automount"});
    EXPECT_FALSE(options.readOnly);
    EXPECT_TRUE(options.noSuid) << "defaults does not open up set-user-id files";
}

TEST(MountOptions, UnknownOrMalformedOptionsAreRefusedByName) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"bogus", "unknown mount option 'bogus'"},
        {"max_write=4096", "unknown mount option 'max_write=4096'"},
        {"ro=1", "unknown mount option 'ro=1'"},
        {"allow_other=yes", "unknown mount option 'allow_other=yes'"},
        {"fsname", "unknown mount option 'fsname'"},
        {"fsname=", "mount option 'fsname=' needs a value"},
        {"attr_timeout=", "mount option 'attr_timeout=' needs a number of seconds from 0 to 86400"},
        {"attr_timeout=-1", "mount option 'attr_timeout=-1' needs a number of seconds from 0 to 86400"},
        {"entry_timeout=nan", "mount option 'entry_timeout=nan' needs a number of seconds from 0 to 86400"},
        {"attr_timeout=1e9", "mount option 'attr_timeout=1e9' needs a number of seconds from 0 to 86400"},
        {"timeout=1x", "mount option 'timeout=1x' needs a number of seconds from 0 (no limit) to 86400"},
        {"timeout=-1", "mount option 'timeout=-1' needs a number of seconds from 0 (no limit) to 86400"},
        {"uid=", "mount option 'uid=' needs a numeric user id"},
        {"uid=root", "mount option 'uid=root' needs a numeric user id"},
        {"uid=4294967295", "mount option 'uid=4294967295' needs a numeric user id"},
        {"gid=-1", "mount option 'gid=-1' needs a numeric group id"},
        {"umask=0778", "mount option 'umask=0778' needs an octal mask from 0 to 0777"},
        {"umask=1000", "mount option 'umask=1000' needs an octal mask from 0 to 0777"},
        {"max_read=4095", "mount option 'max_read=4095' needs a number of bytes from 4096 to 1048576"},
        {"max_read=1048577", "mount option 'max_read=1048577' needs a number of bytes from 4096 to 1048576"},
    };
    for (const auto& [bad, message] : cases) {
        const auto outcome = parseMountOptions({"ro", bad});
        EXPECT_FALSE(outcome.options) << bad;
        EXPECT_EQ(outcome.error, message);
    }
    EXPECT_EQ(parseMountOptions({"allow_other", "allow_root"}).error, "allow_other and allow_root cannot be combined");
}

TEST(MountOptions, KernelOptionsNameTheSessionAndEscapeItsCommas) {
    MountOptions options;
    options.allowOther = true;
    options.readOnly = true;
    const auto arguments = fuseArguments(options, "/run/a,b\\c.json");
    ASSERT_EQ(arguments.size(), 3u);
    EXPECT_EQ(arguments[1], "-o");
    EXPECT_EQ(arguments[2],
              "fsname=/run/a\\,b\\\\c.json,subtype=brindle,allow_other,default_permissions,ro,exec,nosuid,nodev");

    options = MountOptions{};
    options.defaultPermissions = false;
    options.fsname = "mine";
    options.subtype = "other";
    options.allowRoot = true;
    options.noExec = true;
    options.noSuid = false;
    options.noDev = false;
    options.synchronous = true;
    options.dirSync = true;
    options.noAccessTimes = true;
    options.autoUnmount = true;
    options.maxRead = 65536;
    EXPECT_EQ(fuseArguments(options, "/s.json")[2],
              "fsname=mine,subtype=other,allow_root,rw,noexec,suid,dev,sync,dirsync,noatime,auto_unmount,"
              "max_read=65536");
}

TEST(MountOptions, HelpListsEveryOption) {
    const std::string help = mountOptionsHelp();
    for (const char* option : {"ro,", "noexec", "nosuid", "nodev", "sync", "dirsync", "noatime", "uid=", "gid=",
                               "umask=", "allow_other", "allow_root", "default_permissions", "auto_unmount",
                               "kernel_cache", "auto_cache", "writeback_cache", "max_read=", "attr_timeout=",
                               "entry_timeout=", "timeout=", "fsname=", "subtype=", "_netdev"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
}
