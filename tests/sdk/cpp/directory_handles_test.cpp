#include "sdk/cpp/dispatch/directory_handles.h"

#include <gtest/gtest.h>

namespace brindle::sdk {
namespace {

// What a backend keeps for an open directory; tells when it is let go.
struct HeldDirectory : OpenDirectory {
    explicit HeldDirectory(bool& released) : released(released) {}
    ~HeldDirectory() override { released = true; }
    bool& released;
};

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

TEST(SdkDirectoryHandles, NamesArePackedAndReadBackExactly) {
    const auto packed = names(20000, 16);
    ASSERT_EQ(packed->size(), 20000u);
    EXPECT_EQ((*packed)[0], "0xxxxxxxxxxxxxxx");
    EXPECT_EQ((*packed)[19999], "19999xxxxxxxxxxx");
    // The name, its terminator and its offset: no per-name allocation.
    EXPECT_LE(packed->bytes(), 20000u * (16 + 1 + 4) + 64);
}

TEST(SdkDirectoryHandles, KeptListingsShareOneBudgetOldestFirst) {
    const size_t each = names(1000, 16)->bytes();
    DirectoryHandles handles(16, each * 3);
    const uint64_t a = *handles.open(1, 10, std::make_shared<OpenDirectory>());
    const uint64_t b = *handles.open(2, 10, std::make_shared<OpenDirectory>());
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
    handles.closeConnection(2);
    EXPECT_FALSE(handles.nodeOf(2, b));
    EXPECT_EQ(handles.nodeOf(1, a), 10u);
    EXPECT_FALSE(handles.nodeOf(2, a)) << "a handle answers only its own connection";
    EXPECT_EQ(handles.keptBytes(), each);
    EXPECT_FALSE(handles.close(2, a, 10));
    EXPECT_TRUE(handles.close(1, a, 10));
    EXPECT_EQ(handles.keptBytes(), 0u);
}

TEST(SdkDirectoryHandles, TheNewestListingStaysEvenAloneOverBudget) {
    DirectoryHandles handles(4, 10);
    const uint64_t handle = *handles.open(1, 10, std::make_shared<OpenDirectory>());
    const uint32_t generation = *handles.beginListing(handle, names(100, 8));
    EXPECT_TRUE(handles.listing(handle, generation));
}

TEST(SdkDirectoryHandles, AHandleHoldsItsDirectoryForItsOwnConnectionUntilClosed) {
    DirectoryHandles handles(4, 1024);
    bool released = false;
    auto held = std::make_shared<HeldDirectory>(released);
    const uint64_t handle = *handles.open(1, 10, held);
    EXPECT_EQ(handles.directory(1, 10), held);
    EXPECT_FALSE(handles.directory(2, 10)) << "a handle answers only its own connection";
    EXPECT_FALSE(handles.directory(1, 11));

    auto inUse = handles.directory(1, 10);
    std::weak_ptr<OpenDirectory> watched = held;
    held.reset();
    ASSERT_TRUE(handles.close(1, handle, 10));
    EXPECT_FALSE(handles.directory(1, 10));
    EXPECT_FALSE(released) << "a close let go of the directory under a request using it";
    inUse.reset();
    EXPECT_TRUE(released);
    EXPECT_TRUE(watched.expired());
}

TEST(SdkDirectoryHandles, AConnectionsEndLetsGoOfItsDirectoriesAndNoOther) {
    DirectoryHandles handles(4, 1024);
    bool mine = false;
    bool other = false;
    handles.open(1, 10, std::make_shared<HeldDirectory>(mine));
    handles.open(2, 10, std::make_shared<HeldDirectory>(other));
    handles.closeConnection(1);
    EXPECT_TRUE(mine);
    EXPECT_FALSE(other);
    EXPECT_EQ(handles.size(), 1u);
    handles.closeConnection(1);
    EXPECT_EQ(handles.size(), 1u);
}

}  // namespace
}  // namespace brindle::sdk
