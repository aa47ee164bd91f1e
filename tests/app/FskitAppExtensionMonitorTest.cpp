#include "FskitAppExtensionMonitor.h"

#include <QCoreApplication>
#include <QFileSystemWatcher>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>

namespace orvel {
namespace {

int watchersOf(const QString& folder) {
    int count = 0;
    for (const QFileSystemWatcher* watcher : QCoreApplication::instance()->findChildren<QFileSystemWatcher*>()) {
        count += watcher->directories().contains(folder);
    }
    return count;
}

qsizetype watchers() { return QCoreApplication::instance()->findChildren<QFileSystemWatcher*>().size(); }

TEST(FskitAppExtensionMonitor, StartingTwiceCreatesOneTaskAndOneLastingWatch) {
    QTemporaryDir folder;
    std::atomic<int> extensionPoints = 0;
    const auto monitor = FskitAppExtensionMonitor::create([&]() -> std::optional<QStringList> {
        ++extensionPoints;
        return QStringList{folder.path()};
    });
    monitor->start();
    monitor->start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return watchersOf(folder.path()) == 1; }));
    monitor->start();
    QTest::qWait(50);
    EXPECT_EQ(extensionPoints.load(), 1);
    EXPECT_EQ(watchersOf(folder.path()), 1);
}

TEST(FskitAppExtensionMonitor, AFailedExtensionPointOrMonitorLeavesNoWatcher) {
    QTemporaryDir folder;
    const qsizetype before = watchers();
    std::atomic<int> asked = 0;
    const auto noPoint = FskitAppExtensionMonitor::create([&]() -> std::optional<QStringList> {
        ++asked;
        return std::nullopt;
    });
    const auto unwatchable = FskitAppExtensionMonitor::create([&]() -> std::optional<QStringList> {
        ++asked;
        return QStringList{folder.filePath(QStringLiteral("absent"))};
    });
    noPoint->start();
    unwatchable->start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return asked.load() == 2; }));
    QTest::qWait(50);
    EXPECT_EQ(watchers(), before);
}

} // namespace
} // namespace orvel
