#include "host/fuse/mount_options.h"

#include <gtest/gtest.h>

using namespace brindle::host;

TEST(MountOptions, DefaultsKeepPermissionChecksAndOneSecondTimeouts) {
    const auto parsed = parseMountOptions({});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_TRUE(parsed.options->defaultPermissions);
    EXPECT_FALSE(parsed.options->allowOther);
    EXPECT_FALSE(parsed.options->readOnly);
    EXPECT_FALSE(parsed.options->writebackCache);
    EXPECT_DOUBLE_EQ(parsed.options->attrTimeout, 1.0);
    EXPECT_DOUBLE_EQ(parsed.options->entryTimeout, 1.0);
}

TEST(MountOptions, KnownOptionsAreApplied) {
    const auto parsed = parseMountOptions({"allow_other", "nodefault_permissions", "ro", "writeback_cache",
                                           "fsname=demo", "subtype=x", "attr_timeout=2.5", "entry_timeout=0",
                                           "rw", "nosuid", "_netdev"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_TRUE(parsed.options->allowOther);
    EXPECT_FALSE(parsed.options->defaultPermissions);
    EXPECT_TRUE(parsed.options->readOnly);
    EXPECT_TRUE(parsed.options->writebackCache);
    EXPECT_EQ(parsed.options->fsname, "demo");
    EXPECT_EQ(parsed.options->subtype, "x");
    EXPECT_DOUBLE_EQ(parsed.options->attrTimeout, 2.5);
    EXPECT_DOUBLE_EQ(parsed.options->entryTimeout, 0.0);
}

TEST(MountOptions, UnknownOrMalformedOptionsAreRefusedByName) {
    for (const std::string bad : {"bogus", "attr_timeout=", "attr_timeout=-1", "attr_timeout=1x", "entry_timeout",
                                  "entry_timeout=nan", "attr_timeout=1e9", "ro=1", "allow_other=yes", "fsname",
                                  "fsname=", "max_write=4096"}) {
        const auto parsed = parseMountOptions({"ro", bad});
        EXPECT_FALSE(parsed.options) << bad;
        EXPECT_NE(parsed.error.find("'" + bad + "'"), std::string::npos) << parsed.error;
    }
    EXPECT_NE(parseMountOptions({"bogus"}).error.find("unknown mount option"), std::string::npos);
}

TEST(MountOptions, KernelOptionsNameTheSessionAndEscapeItsCommas) {
    MountOptions options;
    options.allowOther = true;
    options.readOnly = true;
    const auto arguments = fuseArguments(options, "/run/a,b\\c.json");
    ASSERT_EQ(arguments.size(), 3u);
    EXPECT_EQ(arguments[1], "-o");
    EXPECT_EQ(arguments[2], "fsname=/run/a\\,b\\\\c.json,subtype=brindle,allow_other,default_permissions,ro");

    options = MountOptions{};
    options.defaultPermissions = false;
    options.fsname = "mine";
    options.subtype = "other";
    EXPECT_EQ(fuseArguments(options, "/s.json")[2], "fsname=mine,subtype=other");
}
