#include "host/fuse/ops/statistics.h"

#include <gtest/gtest.h>

using namespace brindle::host;

namespace {

fskit::FSStatFSResult statistics(uint64_t blockSize) {
    fskit::FSStatFSResult result("orvel");
    result.blockSize = blockSize;
    result.totalBlocks = 1000;
    result.freeBlocks = 400;
    result.availableBlocks = 300;
    result.totalFiles = 50;
    result.freeFiles = 20;
    return result;
}

// What df and stat -f compute from a statvfs: sizes are block counts times the fragment size.
uint64_t bytes(const struct statvfs& status, fsblkcnt_t blocks) { return blocks * status.f_frsize; }

}  // namespace

TEST(Statistics, BlockCountsAndFilesCarryOverAndBytesFollowTheBlockSize) {
    const struct statvfs status = statvfsFromStatistics(statistics(512), 255);
    EXPECT_EQ(status.f_bsize, 512u);
    EXPECT_EQ(bytes(status, status.f_blocks), 512000u);
    EXPECT_EQ(bytes(status, status.f_bfree), 204800u);
    EXPECT_EQ(bytes(status, status.f_bavail), 153600u);
    EXPECT_EQ(status.f_files, 50u);
    EXPECT_EQ(status.f_ffree, 20u);
    EXPECT_EQ(status.f_favail, 20u);
    EXPECT_EQ(status.f_namemax, 255u);
}

// A server that reports no block size has told nothing about bytes; a made-up block size would
// show sizes it never gave.
TEST(Statistics, BlockSizeZeroGivesZeroInEveryByteFieldButKeepsTheCounts) {
    const struct statvfs status = statvfsFromStatistics(statistics(0), 255);
    EXPECT_EQ(status.f_bsize, 0u);
    EXPECT_EQ(bytes(status, status.f_blocks), 0u);
    EXPECT_EQ(bytes(status, status.f_bfree), 0u);
    EXPECT_EQ(bytes(status, status.f_bavail), 0u);
    EXPECT_EQ(status.f_blocks, 1000u);
    EXPECT_EQ(status.f_bfree, 400u);
    EXPECT_EQ(status.f_bavail, 300u);
    EXPECT_EQ(status.f_files, 50u);
}
