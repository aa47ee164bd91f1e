#include "host/fuse/mount/read_ahead.h"

#include <gtest/gtest.h>

#include <sstream>

using brindle::host::deviceOfMountPoint;

TEST(ReadAhead, FindsTheNewestMountOnAPathInMountinfo) {
    std::istringstream mountinfo(
        "22 1 254:1 / / rw,relatime shared:1 - ext4 /dev/vda1 rw\n"
        "40 22 0:45 / /mnt/data rw,nosuid shared:20 - fuse.brindle brindle rw,user_id=0\n"
        "41 22 0:46 / /mnt/data\\040with\\040spaces rw - fuse.brindle brindle rw\n"
        "42 40 0:47 / /mnt/data rw,nosuid shared:21 - fuse.brindle brindle rw,user_id=0\n");
    EXPECT_EQ(deviceOfMountPoint(mountinfo, "/mnt/data"), "0:47") << "a mount over an older one on the same path";
}

TEST(ReadAhead, UnescapesPathsAndIgnoresMalformedLines) {
    std::istringstream mountinfo(
        "garbage\n"
        "41 22 nodevice / /mnt/x rw - fuse.brindle brindle rw\n"
        "43 22 0:46 / /mnt/a\\040b\\134c\\011d rw - fuse.brindle brindle rw\n"
        "44 22 0:48 / /mnt/trailing\\04 rw - fuse.brindle brindle rw\n");
    EXPECT_EQ(deviceOfMountPoint(mountinfo, "/mnt/a b\\c\td"), "0:46");
    mountinfo.clear();
    mountinfo.seekg(0);
    EXPECT_EQ(deviceOfMountPoint(mountinfo, "/mnt/x"), std::nullopt);
    mountinfo.clear();
    mountinfo.seekg(0);
    EXPECT_EQ(deviceOfMountPoint(mountinfo, "/mnt/trailing\\04"), "0:48") << "a cut-off escape stays as written";
    mountinfo.clear();
    mountinfo.seekg(0);
    EXPECT_EQ(deviceOfMountPoint(mountinfo, "/mnt/none"), std::nullopt);
}
