#include "sdk/cpp/dispatch/dispatcher.h"
#include "server/passthrough/file_system.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <set>

namespace brindle::passthrough {
namespace {

// Calls the file system as a connection would, without a socket in between.
class Caller {
public:
    Caller(sdk::Dispatcher& dispatcher, uint64_t connectionID) : dispatcher_(dispatcher), connectionID_(connectionID) {}

    sdk::Reply call(boost::json::object object) {
        const std::string payload;
        return dispatcher_.dispatch(sdk::Request{object, payload, connectionID_});
    }

private:
    sdk::Dispatcher& dispatcher_;
    const uint64_t connectionID_;
};

uint64_t openRoot(Caller& caller) {
    const sdk::Reply opened = caller.call({{"method", "open_directory"}, {"node_id", 1}});
    return opened.object.at("handle_id").to_number<uint64_t>();
}

boost::json::array list(Caller& caller, uint64_t handle, uint64_t cookie, uint64_t max) {
    const sdk::Reply reply = caller.call({{"method", "enumerate_directory"}, {"parent_id", 1}, {"handle_id", handle},
                                          {"cookie", cookie}, {"max_entries", max}});
    EXPECT_EQ(reply.object.at("ok"), true) << boost::json::serialize(reply.object);
    return reply.object.contains("dir_items") ? reply.object.at("dir_items").as_array() : boost::json::array{};
}

TEST(PassthroughListingBudget, AListingLetGoForAnotherClientsGoesOnWithoutErrorOrRepeats) {
    testsupport::TempDir directory;
    for (int i = 0; i < 50; ++i) directory.write("entry" + std::to_string(i), "x");
    auto fileSystem = FileSystem::open(directory.path(), {});
    ASSERT_TRUE(fileSystem);
    sdk::Limits limits;
    limits.listingBudget = 64;  // below any one listing: only the newest is kept
    sdk::Dispatcher dispatcher(*fileSystem.value(), limits, {});
    Caller first(dispatcher, 1);
    Caller second(dispatcher, 2);

    const uint64_t firstHandle = openRoot(first);
    std::set<std::string> names;
    uint64_t cookie = 0;
    for (const auto& entry : list(first, firstHandle, 0, 10)) {
        names.insert(std::string(entry.at("name").as_string()));
        cookie = entry.at("next_cookie").to_number<uint64_t>();
    }
    const uint64_t secondHandle = openRoot(second);
    EXPECT_EQ(list(second, secondHandle, 0, 100).size(), 50u);

    for (;;) {
        const auto batch = list(first, firstHandle, cookie, 7);
        if (batch.empty()) break;
        for (const auto& entry : batch) {
            EXPECT_TRUE(names.insert(std::string(entry.at("name").as_string())).second) << entry.at("name");
            EXPECT_GT(entry.at("next_cookie").to_number<uint64_t>(), cookie);
            cookie = entry.at("next_cookie").to_number<uint64_t>();
        }
    }
    EXPECT_EQ(names.size(), 50u);

    // The end of a connection gives back its handles and what they kept.
    dispatcher.connectionEnded(1);
    dispatcher.connectionEnded(2);
    EXPECT_EQ(dispatcher.directories().keptBytes(), 0u);
}

// What `rm -rf` does: the names taken from each page are removed before the next page is asked
// for, while another client's listings push this one out between pages. Like the kernel when its
// buffer is full, the remover takes only part of each page and goes on from the last cookie it took.
TEST(PassthroughListingBudget, AListingLetGoWhileItsNamesAreRemovedSkipsNoneOfTheRest) {
    testsupport::TempDir directory;
    for (int i = 0; i < 50; ++i) directory.write("entry" + std::to_string(i), "x");
    auto fileSystem = FileSystem::open(directory.path(), {});
    ASSERT_TRUE(fileSystem);
    sdk::Limits limits;
    limits.listingBudget = 1024;  // room for one listing of these names, not two
    sdk::Dispatcher dispatcher(*fileSystem.value(), limits, {});
    Caller remover(dispatcher, 1);
    Caller other(dispatcher, 2);

    const uint64_t handle = openRoot(remover);
    const uint64_t otherHandle = openRoot(other);
    size_t removed = 0;
    uint64_t cookie = 0;
    for (int page = 0; page < 50; ++page) {
        const auto batch = list(remover, handle, cookie, 7);
        if (batch.empty()) break;
        for (size_t taken = 0; taken < std::min<size_t>(batch.size(), 5); ++taken) {
            const auto& entry = batch[taken];
            ASSERT_EQ(::unlink((directory.path() + "/" + std::string(entry.at("name").as_string())).c_str()), 0)
                << entry.at("name") << " listed twice";
            ++removed;
            cookie = entry.at("next_cookie").to_number<uint64_t>();
        }
        list(other, otherHandle, 0, 100);
    }
    EXPECT_EQ(removed, 50u) << "names were skipped while the directory emptied";
}

}  // namespace
}  // namespace brindle::passthrough
