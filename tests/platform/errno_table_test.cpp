#include "platform/foundation/errno_table.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace foundation;

TEST(ErrnoTable, LinuxNumbersBecomeDarwinNumbers) {
    EXPECT_EQ(darwinErrnoFromLinux(ENOENT), darwin::enoent);
    EXPECT_EQ(darwinErrnoFromLinux(EAGAIN), darwin::eagain);
    EXPECT_EQ(darwinErrnoFromLinux(EDEADLK), darwin::edeadlk);
    EXPECT_EQ(darwinErrnoFromLinux(ENOTSUP), darwin::enotsup);
    EXPECT_EQ(darwinErrnoFromLinux(ENODATA), darwin::enoattr);
    EXPECT_EQ(darwinErrnoFromLinux(ENOTEMPTY), darwin::enotempty);
    EXPECT_EQ(darwinErrnoFromLinux(ECONNRESET), darwin::econnreset);
    EXPECT_EQ(darwinErrnoFromLinux(ENAMETOOLONG), darwin::enametoolong);
    EXPECT_EQ(darwinErrnoFromLinux(ECANCELED), darwin::ecanceled);
    EXPECT_EQ(darwinErrnoFromLinux(EHWPOISON), darwin::eio) << "a Linux-only errno has no Darwin meaning";
}

TEST(ErrnoTable, DarwinNumbersBecomeLinuxNumbers) {
    EXPECT_EQ(linuxErrnoFromDarwin(darwin::enotsup), EOPNOTSUPP);
    EXPECT_EQ(linuxErrnoFromDarwin(darwin::enoattr), ENODATA);
    EXPECT_EQ(linuxErrnoFromDarwin(darwin::edeadlk), EDEADLK);
    EXPECT_EQ(linuxErrnoFromDarwin(darwin::eagain), EAGAIN);
    EXPECT_EQ(linuxErrnoFromDarwin(darwin::enotempty), ENOTEMPTY);
    EXPECT_EQ(linuxErrnoFromDarwin(darwin::estale), ESTALE);
    EXPECT_EQ(linuxErrnoFromDarwin(999), EIO);
}

TEST(ErrnoTable, EveryDarwinNumberSurvivesTheRoundTrip) {
    for (int code = 1; code <= 110; ++code) {
        if (darwinErrnoName(code).empty()) continue;
        const int back = darwinErrnoFromLinux(linuxErrnoFromDarwin(code));
        // Three Darwin codes share a Linux number with another; the shared number returns to the
        // code that Darwin's file systems report for it.
        if (code == darwin::enodata) {
            EXPECT_EQ(back, darwin::enoattr);
        } else if (code == darwin::eopnotsupp) {
            EXPECT_EQ(back, darwin::enotsup);
        } else {
            EXPECT_EQ(back, code) << darwinErrnoName(code);
        }
    }
}

TEST(ErrnoTable, NumbersThatDifferBetweenPlatformsAreNamedByDarwin) {
    EXPECT_EQ(darwinErrnoName(11), "EDEADLK");
    EXPECT_EQ(darwinErrnoName(35), "EAGAIN");
    EXPECT_EQ(darwinErrnoName(93), "ENOATTR");
    EXPECT_EQ(darwinErrnoName(63), "ENAMETOOLONG");
    EXPECT_EQ(darwinErrnoName(3), "");
    EXPECT_EQ(darwinErrnoText(2), "No such file or directory");
}
