#include "ReopenChannel.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace orvel {
namespace {

TEST(ReopenChannel, ASecondLaunchAsksTheRunningInstanceToReopen) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("orvel.reopen"));
    ReopenChannel running(path);
    ReopenChannel second(path);
    EXPECT_FALSE(second.askRunningInstance()) << "nobody listens yet";

    ASSERT_TRUE(running.listen());
    QSignalSpy requests(&running, &ReopenChannel::reopenRequested);
    EXPECT_TRUE(second.askRunningInstance());
    EXPECT_TRUE(second.askRunningInstance());
    EXPECT_TRUE(QTest::qWaitFor([&] { return requests.count() == 2; }));
}

TEST(ReopenChannel, ReplacesASocketLeftBehindByAnInstanceThatIsGone) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("orvel.reopen"));
    {
        QFile leftover(path);
        ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
    }
    ReopenChannel running(path);
    ASSERT_TRUE(running.listen());
    QSignalSpy requests(&running, &ReopenChannel::reopenRequested);
    EXPECT_TRUE(ReopenChannel(path).askRunningInstance());
    EXPECT_TRUE(QTest::qWaitFor([&] { return requests.count() == 1; }));
}

} // namespace
} // namespace orvel
