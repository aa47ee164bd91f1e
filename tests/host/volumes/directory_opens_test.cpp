#include "host/fuse/volumes/directory_opens.h"

#include <gtest/gtest.h>

#include <vector>

using namespace brindle::host;
using foundation::Error;

namespace {

// A volume stand-in whose opens and closes finish only when the test says so.
struct ScriptedVolume {
    std::vector<DirectoryOpens::Done> opens;
    std::vector<DirectoryOpens::Done> closes;
    DirectoryOpens::Start open() {
        return [this](DirectoryOpens::Done done) { opens.push_back(std::move(done)); };
    }
    DirectoryOpens::Start close() {
        return [this](DirectoryOpens::Done done) { closes.push_back(std::move(done)); };
    }
};

struct Outcomes {
    std::vector<std::optional<Error>> results;
    DirectoryOpens::Done record() {
        return [this](std::optional<Error> error) { results.push_back(std::move(error)); };
    }
};

}  // namespace

TEST(DirectoryOpens, OpensOfOneDirectoryShareTheVolumesOpenUntilTheLastClose) {
    DirectoryOpens opens;
    ScriptedVolume volume;
    Outcomes outcomes;
    opens.acquire(5, volume.open(), outcomes.record());
    ASSERT_EQ(volume.opens.size(), 1u);
    volume.opens[0](std::nullopt);
    opens.acquire(5, volume.open(), outcomes.record());
    EXPECT_EQ(volume.opens.size(), 1u) << "a second open must not replace the first one's handle";
    EXPECT_EQ(opens.usersOf(5), 2u);
    opens.release(5, volume.close(), outcomes.record());
    EXPECT_TRUE(volume.closes.empty()) << "the other open goes on listing";
    opens.release(5, volume.close(), outcomes.record());
    ASSERT_EQ(volume.closes.size(), 1u);
    volume.closes[0](std::nullopt);
    EXPECT_EQ(outcomes.results.size(), 4u);
    for (const auto& result : outcomes.results) EXPECT_FALSE(result);
    EXPECT_EQ(opens.usersOf(5), 0u);
}

TEST(DirectoryOpens, AnOpenArrivingWhileTheFirstIsUnderWayWaitsForIt) {
    DirectoryOpens opens;
    ScriptedVolume volume;
    Outcomes outcomes;
    opens.acquire(5, volume.open(), outcomes.record());
    opens.acquire(5, volume.open(), outcomes.record());
    EXPECT_EQ(volume.opens.size(), 1u);
    EXPECT_TRUE(outcomes.results.empty());
    volume.opens[0](std::nullopt);
    EXPECT_EQ(outcomes.results.size(), 2u);
    EXPECT_EQ(opens.usersOf(5), 2u);
}

TEST(DirectoryOpens, AFailedOpenIsReportedAndTheNextOpenTriesAgain) {
    DirectoryOpens opens;
    ScriptedVolume volume;
    Outcomes outcomes;
    opens.acquire(5, volume.open(), outcomes.record());
    opens.acquire(5, volume.open(), outcomes.record());
    volume.opens[0](Error::posix(5));
    ASSERT_EQ(outcomes.results.size(), 1u);
    EXPECT_TRUE(outcomes.results[0]);
    ASSERT_EQ(volume.opens.size(), 2u) << "the waiting open asks the volume itself";
    volume.opens[1](std::nullopt);
    ASSERT_EQ(outcomes.results.size(), 2u);
    EXPECT_FALSE(outcomes.results[1]);
    EXPECT_EQ(opens.usersOf(5), 1u);
}

TEST(DirectoryOpens, AnOpenAfterTheLastCloseWaitsUntilTheCloseIsDone) {
    DirectoryOpens opens;
    ScriptedVolume volume;
    Outcomes outcomes;
    opens.acquire(5, volume.open(), outcomes.record());
    volume.opens[0](std::nullopt);
    opens.release(5, volume.close(), outcomes.record());
    opens.acquire(5, volume.open(), outcomes.record());
    EXPECT_EQ(volume.opens.size(), 1u) << "opening before the close finished would have its handle cleared";
    volume.closes[0](std::nullopt);
    ASSERT_EQ(volume.opens.size(), 2u);
    volume.opens[1](std::nullopt);
    EXPECT_EQ(outcomes.results.size(), 3u);
    EXPECT_EQ(opens.usersOf(5), 1u);
}

TEST(DirectoryOpens, DirectoriesAreIndependent) {
    DirectoryOpens opens;
    ScriptedVolume volume;
    Outcomes outcomes;
    opens.acquire(5, volume.open(), outcomes.record());
    opens.acquire(6, volume.open(), outcomes.record());
    EXPECT_EQ(volume.opens.size(), 2u);
}
