#include "sdk/cpp/dispatch/directory_handles.h"

#include <gtest/gtest.h>

#include <fcntl.h>

namespace brindle::server {
namespace {

DirectoryHandles::Names names(size_t count, size_t nameLength) {
    auto packed = std::make_shared<PackedNames>();
    for (size_t i = 0; i < count; ++i) {
        std::string name = std::to_string(i);
        name.resize(nameLength, 'x');
        packed->add(name);
    }
    packed->shrink();
    return packed;
}

TEST(ServerDirectoryHandles, NamesArePackedAndReadBackExactly) {
    const auto packed = names(20000, 16);
    ASSERT_EQ(packed->size(), 20000u);
    EXPECT_EQ((*packed)[0], "0xxxxxxxxxxxxxxx");
    EXPECT_EQ((*packed)[19999], "19999xxxxxxxxxxx");
    // The name, its terminator and its offset: no per-name allocation.
    EXPECT_LE(packed->bytes(), 20000u * (16 + 1 + 4) + 64);
}

TEST(ServerDirectoryHandles, KeptListingsShareOneBudgetOldestFirst) {
    const size_t each = names(1000, 16)->bytes();
    DirectoryHandles handles(16, each * 3);
    const uint64_t a = *handles.open(1, 10, UniqueFd());
    const uint64_t b = *handles.open(2, 10, UniqueFd());
    const uint32_t first = *handles.beginListing(a, names(1000, 16));
    const uint32_t second = *handles.beginListing(b, names(1000, 16));
    const uint32_t third = *handles.beginListing(a, names(1000, 16));
    EXPECT_TRUE(handles.listing(a, first));
    const uint32_t fourth = *handles.beginListing(b, names(1000, 16));
    EXPECT_FALSE(handles.listing(a, first)) << "the oldest listing goes first";
    EXPECT_TRUE(handles.listing(b, second));
    EXPECT_TRUE(handles.listing(a, third));
    EXPECT_TRUE(handles.listing(b, fourth));
    EXPECT_LE(handles.keptBytes(), each * 3);
    EXPECT_GT(third, first);

    // A connection's end closes its handles with their listings, and no other's.
    EXPECT_EQ(handles.closeConnection(2), std::vector<uint64_t>{10});
    EXPECT_FALSE(handles.nodeOf(2, b));
    EXPECT_EQ(handles.nodeOf(1, a), 10u);
    EXPECT_FALSE(handles.nodeOf(2, a)) << "a handle answers only its own connection";
    EXPECT_EQ(handles.keptBytes(), each);
    EXPECT_FALSE(handles.close(2, a, 10));
    EXPECT_TRUE(handles.close(1, a, 10));
    EXPECT_EQ(handles.keptBytes(), 0u);
}

TEST(ServerDirectoryHandles, TheNewestListingStaysEvenAloneOverBudget) {
    DirectoryHandles handles(4, 10);
    const uint64_t handle = *handles.open(1, 10, UniqueFd());
    const uint32_t generation = *handles.beginListing(handle, names(100, 8));
    EXPECT_TRUE(handles.listing(handle, generation));
}

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(ServerDirectoryHandles, AHandleHoldsItsDirectoryForItsOwnConnectionUntilClosed) {
    DirectoryHandles handles(4, 1024);
    UniqueFd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(root.valid());
    const int fd = root.get();
    const uint64_t handle = *handles.open(1, 10, std::move(root));
    ASSERT_TRUE(handles.descriptor(1, 10));
    EXPECT_EQ(handles.descriptor(1, 10)->get(), fd);
    EXPECT_FALSE(handles.descriptor(2, 10)) << "a handle answers only its own connection";
    EXPECT_FALSE(handles.descriptor(1, 11));

    const auto inUse = handles.descriptor(1, 10);
    ASSERT_TRUE(handles.close(1, handle, 10));
    EXPECT_FALSE(handles.descriptor(1, 10));
    EXPECT_TRUE(isOpen(fd)) << "a close pulled the descriptor from under its user";
    EXPECT_EQ(inUse.use_count(), 1);
}

TEST(ServerDirectoryHandles, AConnectionsEndClosesItsDescriptors) {
    DirectoryHandles handles(4, 1024);
    UniqueFd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    const int fd = root.get();
    handles.open(1, 10, std::move(root));
    EXPECT_EQ(handles.closeConnection(1), std::vector<uint64_t>{10});
    EXPECT_FALSE(isOpen(fd));
    EXPECT_TRUE(handles.closeConnection(1).empty());
}

}  // namespace
}  // namespace brindle::server
