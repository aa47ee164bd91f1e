#pragma once

#include <cstdint>
#include <string>

namespace fskit {

// A volume's statistics; every count starts at zero.
struct FSStatFSResult {
    explicit FSStatFSResult(std::string fileSystemTypeName) : fileSystemTypeName(std::move(fileSystemTypeName)) {}

    std::string fileSystemTypeName;
    uint64_t blockSize = 0;
    uint64_t ioSize = 0;
    uint64_t totalBlocks = 0;
    uint64_t availableBlocks = 0;
    uint64_t freeBlocks = 0;
    uint64_t usedBlocks = 0;
    uint64_t totalBytes = 0;
    uint64_t availableBytes = 0;
    uint64_t freeBytes = 0;
    uint64_t usedBytes = 0;
    uint64_t totalFiles = 0;
    uint64_t freeFiles = 0;
};

}  // namespace fskit
