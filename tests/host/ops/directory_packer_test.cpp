#include "host/fuse/ops/directory_packer.h"

#include <fuse_lowlevel.h>
#include <gtest/gtest.h>
#include <linux/fuse.h>

#include <dirent.h>

#include <cstring>
#include <map>

using namespace brindle;
using namespace brindle::host;
using fskit::FSFileName;

namespace {

struct Entry {
    uint64_t inode;
    uint64_t offset;
    uint32_t type;
    std::string name;
};

// Walks a readdir buffer in the kernel's dirent layout.
std::vector<Entry> entriesOf(const char* data, size_t size) {
    std::vector<Entry> entries;
    size_t at = 0;
    while (at < size) {
        fuse_dirent dirent{};
        std::memcpy(&dirent, data + at, sizeof dirent);
        entries.push_back({dirent.ino, dirent.off, dirent.type, std::string(data + at + FUSE_NAME_OFFSET, dirent.namelen)});
        at += FUSE_DIRENT_SIZE(&dirent);
    }
    return entries;
}

// The node ids handed out with each readdirplus record, 0 where none was.
std::vector<uint64_t> referencedNodeIDsOf(const char* data, size_t size) {
    std::vector<uint64_t> nodeIDs;
    size_t at = 0;
    while (at < size) {
        fuse_entry_out entry{};
        std::memcpy(&entry, data + at, sizeof entry);
        fuse_dirent dirent{};
        std::memcpy(&dirent, data + at + sizeof entry, sizeof dirent);
        nodeIDs.push_back(entry.nodeid);
        at += sizeof entry + FUSE_DIRENT_SIZE(&dirent);
    }
    return nodeIDs;
}

struct PackerFixture {
    std::map<uint64_t, std::shared_ptr<BrindleItem>> tracked;
    std::unique_ptr<DirectoryPacker> make(size_t capacity, bool plus) {
        return std::make_unique<DirectoryPacker>(
            capacity, plus, [](uint64_t nodeID) { return nodeID == 5 ? 1 : nodeID; },
            [this](uint64_t nodeID) {
                const auto found = tracked.find(nodeID);
                return found == tracked.end() ? nullptr : found->second;
            },
            DirectoryPacker::Timeouts{}, AttributePresentation{});
    }
};

fskit::FSItemAttributes fileAttributes() {
    fskit::FSItemAttributes attributes;
    attributes.type = fskit::FSItemTypeFile;
    attributes.mode = 0644;
    return attributes;
}

}  // namespace

TEST(DirectoryPacker, PacksNamesCookiesAndTypesUntilTheBufferIsFull) {
    PackerFixture fixture;
    auto packer = fixture.make(64, false);
    EXPECT_TRUE(packer->packEntry(FSFileName::nameWithString("a"), fskit::FSItemTypeFile, 7, 100, std::nullopt));
    EXPECT_TRUE(packer->packEntry(FSFileName::nameWithString("dir"), fskit::FSItemTypeDirectory, 5, 200, std::nullopt));
    EXPECT_FALSE(packer->isFull());
    EXPECT_FALSE(packer->packEntry(FSFileName::nameWithString("c"), fskit::FSItemTypeFile, 9, 300, std::nullopt));
    EXPECT_TRUE(packer->isFull()) << "the listing goes on past the last packed entry";
    EXPECT_EQ(packer->offsetAfterLastEntry(0), 200u);
    EXPECT_EQ(packer->entryCount(), 2u);
    const auto entries = entriesOf(packer->data(), packer->size());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "a");
    EXPECT_EQ(entries[0].inode, 7u);
    EXPECT_EQ(entries[0].offset, 100u);
    EXPECT_EQ(entries[0].type, static_cast<uint32_t>(DT_REG));
    EXPECT_EQ(entries[1].name, "dir");
    EXPECT_EQ(entries[1].inode, 1u) << "the root's node is inode 1";
    EXPECT_EQ(entries[1].type, static_cast<uint32_t>(DT_DIR));
}

TEST(DirectoryPacker, NamesTheKernelCannotTakeAreSkippedNotRefused) {
    PackerFixture fixture;
    auto packer = fixture.make(4096, false);
    EXPECT_TRUE(packer->packEntry(FSFileName::nameWithBytes(""), 1, 7, 1, std::nullopt));
    EXPECT_TRUE(packer->packEntry(FSFileName::nameWithBytes("a/b"), 1, 7, 2, std::nullopt));
    EXPECT_TRUE(packer->packEntry(FSFileName::nameWithBytes(std::string("a\0b", 3)), 1, 7, 3, std::nullopt));
    EXPECT_TRUE(packer->packEntry(FSFileName::nameWithBytes("zero"), 1, 0, 4, std::nullopt));
    EXPECT_EQ(packer->entryCount(), 0u);
    EXPECT_EQ(packer->size(), 0u);
    EXPECT_FALSE(packer->isFull()) << "a skipped name does not end the batch";
    EXPECT_EQ(packer->offsetAfterLastEntry(40), 40u) << "nothing packed: the listing stays where it started";
}

TEST(DirectoryPacker, PlusEntriesReferenceOnlyItemsWithAttributes) {
    PackerFixture fixture;
    fixture.tracked[7] = std::make_shared<BrindleItem>();
    fixture.tracked[8] = std::make_shared<BrindleItem>();
    auto packer = fixture.make(4096, true);
    EXPECT_TRUE(packer->packEntry(FSFileName::nameWithString("with"), 1, 7, 1, fileAttributes()));
    EXPECT_TRUE(packer->packEntry(FSFileName::nameWithString("without"), 1, 8, 2, std::nullopt));
    EXPECT_TRUE(packer->packEntry(FSFileName::nameWithString("untracked"), 1, 9, 3, fileAttributes()));
    EXPECT_TRUE(packer->packEntry(FSFileName::nameWithString("."), 2, 7, 4, fileAttributes()));
    EXPECT_TRUE(packer->packEntry(FSFileName::nameWithString(".."), 2, 8, 5, fileAttributes()));
    ASSERT_EQ(packer->referencedItems().size(), 1u);
    EXPECT_EQ(packer->referencedItems()[0].item, fixture.tracked[7]);

    ASSERT_EQ(packer->entryCount(), 5u);
    // Only the first record hands the kernel a node.
    const auto nodeIDs = referencedNodeIDsOf(packer->data(), packer->size());
    EXPECT_EQ(nodeIDs, (std::vector<uint64_t>{7, 0, 0, 0, 0}));
}

// The volume tracks an item for every entry it offers; the caller lets go of those the kernel was
// not handed, so every such entry must be listed: skipped, refused for room, or packed bare.
TEST(DirectoryPacker, EveryOfferedEntryWithoutAReferenceIsListedForRelease) {
    PackerFixture fixture;
    fixture.tracked[7] = std::make_shared<BrindleItem>();
    fixture.tracked[8] = std::make_shared<BrindleItem>();
    auto plus = fixture.make(4096, true);
    EXPECT_TRUE(plus->packEntry(FSFileName::nameWithString("with"), 1, 7, 1, fileAttributes()));
    EXPECT_TRUE(plus->packEntry(FSFileName::nameWithString("without"), 1, 8, 2, std::nullopt));
    EXPECT_TRUE(plus->packEntry(FSFileName::nameWithBytes("a/b"), 1, 9, 3, fileAttributes()));
    EXPECT_TRUE(plus->packEntry(FSFileName::nameWithString("none"), 1, 0, 4, fileAttributes()));
    EXPECT_EQ(plus->unreferencedNodeIDs(), (std::vector<uint64_t>{8, 9})) << "node 0 is never tracked";

    auto plain = fixture.make(64, false);
    EXPECT_TRUE(plain->packEntry(FSFileName::nameWithString("a"), 1, 7, 1, std::nullopt));
    EXPECT_TRUE(plain->packEntry(FSFileName::nameWithString("b"), 1, 8, 2, std::nullopt));
    EXPECT_FALSE(plain->packEntry(FSFileName::nameWithString("no-room-for-this-one"), 1, 10, 3, std::nullopt));
    EXPECT_EQ(plain->unreferencedNodeIDs(), (std::vector<uint64_t>{7, 8, 10}));
    EXPECT_TRUE(plain->referencedItems().empty());
}
