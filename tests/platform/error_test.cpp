#include "platform/foundation/errno_table.h"
#include "platform/foundation/error.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace foundation;

TEST(Error, DescriptionNamesDomainCodeAndMessage) {
    EXPECT_EQ(Error::posix(22).description(), "POSIX error 22 (EINVAL): Invalid argument");
    EXPECT_EQ(Error::posix(2, "no such node").description(), "POSIX error 2 (ENOENT): no such node");
    EXPECT_EQ(Error(ErrorDomain::JsonParse, 3840, "bad").description(), "json-parse error 3840: bad");
    EXPECT_EQ(Error::posix(0).description(), "POSIX error 0: Unknown error");
}

TEST(Error, LinuxErrnoIsRenumberedWhenCaptured) {
    const Error error = Error::fromLinuxErrno(EAGAIN);
    EXPECT_TRUE(error.isPosix(darwin::eagain));
    EXPECT_FALSE(error.message().has_value());
}

TEST(Result, HoldsValueOrError) {
    Result<int> value(7);
    ASSERT_TRUE(value.ok());
    EXPECT_EQ(value.value(), 7);
    Result<int> failure(Error::posix(5));
    ASSERT_FALSE(failure);
    EXPECT_TRUE(failure.error().isPosix(5));
}
