#include "platform/foundation/errno_table.h"
#include "platform/foundation/file_read.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

using namespace foundation;

TEST(ReadWholeFile, ReadsEveryByte) {
    testsupport::TempDir dir;
    std::string contents(200000, 'x');
    contents[1234] = '\0';
    auto read = readWholeFile(URL::fileURLWithPath(dir.write("f", contents)));
    ASSERT_TRUE(read);
    EXPECT_EQ(read.value(), contents);
}

TEST(ReadWholeFile, FailuresAreFileReadErrorsWithDarwinCodes) {
    testsupport::TempDir dir;
    auto missing = readWholeFile(URL::fileURLWithPath(dir.file("absent")));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().domain(), ErrorDomain::FileRead);
    EXPECT_EQ(missing.error().code(), darwin::enoent);

    auto directory = readWholeFile(URL::fileURLWithPath(dir.path()));
    ASSERT_FALSE(directory);
    EXPECT_EQ(directory.error().code(), darwin::eisdir);
}
