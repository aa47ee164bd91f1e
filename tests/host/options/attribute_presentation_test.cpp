#include "host/fuse/translation/attribute_conversion.h"

#include <gtest/gtest.h>

using namespace brindle::host;

namespace {

fskit::FSItemAttributes directoryOwnedBy(uint32_t uid, uint32_t gid, uint32_t mode) {
    fskit::FSItemAttributes attributes;
    attributes.type = fskit::FSItemTypeDirectory;
    attributes.mode = mode;
    attributes.uid = uid;
    attributes.gid = gid;
    return attributes;
}

}  // namespace

TEST(AttributePresentation, OwnerGroupAndMaskReplaceWhatTheServerSays) {
    AttributePresentation presentation;
    presentation.owner = 1234;
    presentation.group = 77;
    presentation.umask = 027;
    const struct stat status = statFromAttributes(directoryOwnedBy(0, 0, 04777), 5, presentation);
    EXPECT_EQ(status.st_uid, 1234u);
    EXPECT_EQ(status.st_gid, 77u);
    EXPECT_EQ(status.st_mode, S_IFDIR | 04750) << "the mask takes permission bits only";
}

TEST(AttributePresentation, WithoutOptionsTheServersValuesShow) {
    const struct stat status = statFromAttributes(directoryOwnedBy(1000, 100, 0755), 5, AttributePresentation{});
    EXPECT_EQ(status.st_uid, 1000u);
    EXPECT_EQ(status.st_gid, 100u);
    EXPECT_EQ(status.st_mode, S_IFDIR | 0755);

    AttributePresentation onlyGroup;
    onlyGroup.group = 0;
    const struct stat grouped = statFromAttributes(directoryOwnedBy(1000, 100, 0755), 5, onlyGroup);
    EXPECT_EQ(grouped.st_uid, 1000u) << "an owner nobody asked for stays the server's";
    EXPECT_EQ(grouped.st_gid, 0u);
}
