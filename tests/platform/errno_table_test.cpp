#include "platform/foundation/errno_table.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

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
    EXPECT_EQ(darwinErrnoName(67), "") << "Darwin's EPROCLIM is not a Linux errno";
    EXPECT_EQ(darwinErrnoText(2), "No such file or directory");
}

namespace {

// Linux errno names that Darwin does not have, so they rightly go out as EIO.
const std::set<std::string> kLinuxOnly{
    "ECHRNG", "EL2NSYNC", "EL3HLT", "EL3RST", "ELNRNG", "EUNATCH", "ENOCSI", "EL2HLT", "EBADE", "EBADR",
    "EXFULL", "ENOANO", "EBADRQC", "EBADSLT", "EBFONT", "ENONET", "ENOPKG", "EADV", "ESRMNT", "ECOMM",
    "EDOTDOT", "ENOTUNIQ", "EBADFD", "EREMCHG", "ELIBACC", "ELIBBAD", "ELIBSCN", "ELIBMAX", "ELIBEXEC",
    "ERESTART", "ESTRPIPE", "EUCLEAN", "ENOTNAM", "ENAVAIL", "EISNAM", "EREMOTEIO", "ENOMEDIUM",
    "EMEDIUMTYPE", "ENOKEY", "EKEYEXPIRED", "EKEYREVOKED", "EKEYREJECTED", "ERFKILL", "EHWPOISON"};

}  // namespace

TEST(ErrnoTable, EveryLinuxErrnoGoesOutUnderDarwinsNumberOfTheSameName) {
    int named = 0;
    for (int linuxErrno = 1; linuxErrno < 256; ++linuxErrno) {
        const char* linuxName = strerrorname_np(linuxErrno);
        if (linuxName == nullptr) continue;
        ++named;
        const int darwinErrno = darwinErrnoFromLinux(linuxErrno);
        const std::string name(linuxName);
        if (kLinuxOnly.contains(name)) {
            EXPECT_EQ(darwinErrno, darwin::eio) << name;
        } else if (name == "ENODATA") {
            EXPECT_EQ(darwinErrno, darwin::enoattr) << "what Linux reports for a missing extended attribute";
        } else if (name == "EOPNOTSUPP") {
            EXPECT_EQ(darwinErrno, darwin::enotsup) << "Linux's ENOTSUP and EOPNOTSUPP are one number";
        } else {
            EXPECT_EQ(darwinErrnoName(darwinErrno), name) << "Linux " << linuxErrno;
            EXPECT_EQ(linuxErrnoFromDarwin(darwinErrno), linuxErrno) << name;
        }
    }
    EXPECT_GT(named, 120);
    EXPECT_EQ(darwinErrnoFromLinux(E2BIG), 7);
    EXPECT_EQ(darwinErrnoFromLinux(ENXIO), 6);
    EXPECT_EQ(darwinErrnoFromLinux(EBUSY), 16);
    EXPECT_EQ(darwinErrnoFromLinux(ETIME), 101);
    EXPECT_EQ(linuxErrnoFromDarwin(79), EIO) << "Darwin's EFTYPE has no Linux counterpart";
}
