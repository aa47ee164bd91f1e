#include "host/fuse/translation/attribute_conversion.h"
#include "host/fuse/translation/error_mapping.h"
#include "host/fuse/translation/request_flags.h"
#include "module/volume/BrindleVolume.h"
#include "platform/foundation/errno_table.h"

#include <fuse_lowlevel.h>
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <cerrno>

using namespace brindle::host;
using foundation::Error;
using foundation::ErrorDomain;

TEST(AttributeConversion, StatCarriesTypePermissionsSizesAndTimes) {
    fskit::FSItemAttributes attributes;
    attributes.type = fskit::FSItemTypeSymlink;
    attributes.mode = 0777;
    attributes.linkCount = 1;
    attributes.uid = 1000;
    attributes.gid = 100;
    attributes.size = 513;
    attributes.allocSize = 513;
    attributes.accessTime = timespec{10, 1};
    attributes.modifyTime = timespec{20, 2};
    attributes.changeTime = timespec{30, 3};
    const struct stat status = statFromAttributes(attributes, 42, {});
    EXPECT_EQ(status.st_ino, 42u);
    EXPECT_EQ(status.st_mode, S_IFLNK | 0777);
    EXPECT_EQ(status.st_uid, 1000u);
    EXPECT_EQ(status.st_gid, 100u);
    EXPECT_EQ(status.st_size, 513);
    EXPECT_EQ(status.st_blocks, 2) << "blocks of 512 bytes, rounded up";
    EXPECT_EQ(status.st_atim.tv_sec, 10);
    EXPECT_EQ(status.st_mtim.tv_nsec, 2);
    EXPECT_EQ(status.st_ctim.tv_sec, 30);
}

TEST(AttributeConversion, UnknownTypesAndHugeSizesStayRepresentable) {
    fskit::FSItemAttributes attributes;
    attributes.type = 99;
    attributes.mode = 0100644;
    attributes.size = UINT64_MAX;
    const struct stat status = statFromAttributes(attributes, 3, {});
    EXPECT_EQ(status.st_mode & S_IFMT, static_cast<mode_t>(S_IFREG));
    EXPECT_EQ(status.st_mode & 07777, 0644u) << "type bits in a server's mode never leak into the file type";
    EXPECT_EQ(status.st_size, INT64_MAX);
}

TEST(AttributeConversion, ModeTypesMapBothWays) {
    for (int64_t type = fskit::FSItemTypeFile; type <= fskit::FSItemTypeSocket; ++type) {
        EXPECT_EQ(itemTypeForMode(fileTypeBitsForItemType(type) | 0600), type);
    }
    EXPECT_EQ(itemTypeForMode(0644), fskit::FSItemTypeUnknown);
    EXPECT_EQ(fileTypeBitsForItemType(0), 0u);
}

TEST(SetattrMapping, KernelBitsBecomeRequestValues) {
    struct stat values {};
    values.st_mode = S_IFREG | 04755;
    values.st_uid = 7;
    values.st_gid = 8;
    values.st_size = 1234;
    values.st_atim = timespec{100, 5};
    values.st_mtim = timespec{200, 6};
    const timespec now{999, 9};
    auto request = setAttributesRequestFromKernel(values,
                                                  FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID |
                                                      FUSE_SET_ATTR_SIZE | FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME,
                                                  now);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->mode, 04755u);
    EXPECT_EQ(request->uid, 7u);
    EXPECT_EQ(request->gid, 8u);
    EXPECT_EQ(request->size, 1234u);
    EXPECT_EQ(request->accessTime->tv_sec, 100);
    EXPECT_EQ(request->modifyTime->tv_nsec, 6);
    EXPECT_FALSE(request->changeTime);
}

TEST(SetattrMapping, NowFlagsTakeTheCurrentTimeAndOnlyWhatWasAsked) {
    struct stat values {};
    values.st_atim = timespec{1, 1};
    const timespec now{999, 9};
    auto request = setAttributesRequestFromKernel(
        values, FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_ATIME_NOW | FUSE_SET_ATTR_MTIME_NOW, now);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->accessTime->tv_sec, 999);
    EXPECT_EQ(request->modifyTime->tv_sec, 999);
    EXPECT_FALSE(request->mode);
    EXPECT_FALSE(request->size);
}

TEST(SetattrMapping, ChangeTimeAloneAsksNothingOfTheVolume) {
    struct stat values {};
    EXPECT_EQ(setAttributesRequestFromKernel(values, FUSE_SET_ATTR_CTIME, timespec{}), nullptr);
    EXPECT_EQ(setAttributesRequestFromKernel(values, 0, timespec{}), nullptr);
    auto withMode = setAttributesRequestFromKernel(values, FUSE_SET_ATTR_CTIME | FUSE_SET_ATTR_MODE, timespec{});
    ASSERT_TRUE(withMode);
    EXPECT_FALSE(withMode->changeTime) << "a never-settable change time would make the volume refuse the mode";
}

TEST(ErrnoMapping, DarwinNumbersBecomeLinuxOnes) {
    using namespace foundation::darwin;
    EXPECT_EQ(linuxErrnoForError(Error::posix(enotsup)), EOPNOTSUPP);
    EXPECT_EQ(linuxErrnoForError(Error::posix(enoattr)), ENODATA);
    EXPECT_EQ(linuxErrnoForError(Error::posix(edeadlk)), EDEADLK);
    EXPECT_EQ(linuxErrnoForError(Error::posix(eagain)), EAGAIN);
    EXPECT_EQ(linuxErrnoForError(Error::posix(econnreset)), ECONNRESET);
    EXPECT_EQ(linuxErrnoForError(Error::posix(enotempty)), ENOTEMPTY);
    EXPECT_EQ(linuxErrnoForError(Error::posix(enoent)), ENOENT);
}

TEST(ErrnoMapping, OtherDomainsMissingErrorsAndZeroNeverLookLikeSuccess) {
    EXPECT_EQ(linuxErrnoForError(std::nullopt), EIO);
    EXPECT_EQ(linuxErrnoForError(Error(ErrorDomain::FileRead, 260)), EIO);
    EXPECT_EQ(linuxErrnoForError(Error(ErrorDomain::JsonParse, 3)), EINVAL);
    EXPECT_EQ(linuxErrnoForError(Error::posix(0)), EIO);
    EXPECT_EQ(linuxErrnoForError(Error::posix(-4)), EIO);
    EXPECT_EQ(linuxErrnoForError(Error::posix(100000)), EIO);
}

TEST(RequestFlags, OpenFlagsBecomeFSKitModes) {
    EXPECT_EQ(openModesForFlags(O_RDONLY), brindle::BrindleVolume::openModeRead);
    EXPECT_EQ(openModesForFlags(O_WRONLY | O_CREAT | O_TRUNC), brindle::BrindleVolume::openModeWrite);
    EXPECT_EQ(openModesForFlags(O_RDWR | O_APPEND),
              brindle::BrindleVolume::openModeRead | brindle::BrindleVolume::openModeWrite);
}

TEST(RequestFlags, XattrFlagsBecomePolicies) {
    EXPECT_EQ(xattrPolicyForFlags(0), brindle::BrindleVolume::xattrPolicyAlwaysSet);
    EXPECT_EQ(xattrPolicyForFlags(XATTR_CREATE), brindle::BrindleVolume::xattrPolicyMustCreate);
    EXPECT_EQ(xattrPolicyForFlags(XATTR_REPLACE), brindle::BrindleVolume::xattrPolicyMustReplace);
    EXPECT_FALSE(xattrPolicyForFlags(XATTR_CREATE | XATTR_REPLACE));
    EXPECT_FALSE(xattrPolicyForFlags(0x40));
}
