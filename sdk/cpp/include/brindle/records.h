#pragma once

#include <chrono>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace brindle::sdk {

// The number by which the protocol names an object. 0 names nothing; a server never reuses one
// for another object.
using NodeId = uint64_t;

enum class ItemType : uint8_t { file, directory, symlink, fifo, charDevice, blockDevice, socket };

// Seconds and nanoseconds (0 to 999,999,999) since 1970, UTC.
struct Time {
    int64_t seconds = 0;
    int64_t nanoseconds = 0;

    static Time now() {
        const auto since = std::chrono::system_clock::now().time_since_epoch();
        const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
        return {seconds.count(), std::chrono::nanoseconds(since - seconds).count()};
    }
    friend auto operator<=>(const Time&, const Time&) = default;
};

struct Attributes {
    ItemType type = ItemType::file;
    // Permission bits (07777); the file-type bits, if any, are ignored.
    uint32_t mode = 0;
    uint32_t linkCount = 1;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t size = 0;
    // None: the size rounded up to 4 KiB.
    std::optional<uint64_t> allocSize{};
    Time accessTime{};
    Time modifyTime{};
    Time changeTime{};
    // None: the modification time.
    std::optional<Time> birthTime{};
};

// One object as a reply describes it. Where the request names the object's place (lookup,
// create, a listing's entries) that place is sent and `parent` and `name` are not read.
struct Item {
    NodeId node = 0;
    Attributes attributes{};
    NodeId parent = 0;
    std::string name{};
};

// The volume's figures; zeros where nothing is known.
struct StatFS {
    uint64_t blockSize = 4096;
    uint64_t ioSize = 1 << 20;
    uint64_t blocks = 0;
    uint64_t freeBlocks = 0;
    uint64_t availableBlocks = 0;
    uint64_t files = 0;
    uint64_t freeFiles = 0;
};

// What one set_attributes request changes; what is none stays as it is.
struct AttributeChanges {
    std::optional<uint32_t> mode{};  // permission bits only
    std::optional<uint32_t> uid{};
    std::optional<uint32_t> gid{};
    std::optional<uint64_t> size{};  // at most INT64_MAX
    std::optional<Time> accessTime{};
    std::optional<Time> modifyTime{};
    std::optional<Time> birthTime{};
};

// Where an append landed: `written` bytes at `offset`, leaving the file `size` bytes long.
struct Appended {
    size_t written = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
};

// The open modes a client opens with and keeps when it closes, as bits.
inline constexpr uint32_t kOpenRead = 1;
inline constexpr uint32_t kOpenWrite = 2;

// The flags of set_xattr: create only (EEXIST when it exists), replace only (ENOATTR when it does not).
inline constexpr int32_t kXattrCreate = 2;
inline constexpr int32_t kXattrReplace = 4;

}  // namespace brindle::sdk
