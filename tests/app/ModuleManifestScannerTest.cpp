#include "FuseAccess.h"
#include "ManifestFolderSource.h"
#include "ModuleManifestScanner.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace orvel {
namespace {

const QString brindle = QStringLiteral("org.orvel.brindle.module");

// Module folders, a runnable and a non-runnable program, and a stand-in FUSE device in a
// temporary folder.
class ModuleFolders : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        systemFolder = folder(QStringLiteral("system"));
        userFolder = folder(QStringLiteral("user"));
        runnable = root.filePath(QStringLiteral("brindle"));
        write(runnable, "#!/bin/sh\n", 0755);
        notRunnable = root.filePath(QStringLiteral("brindle-not-runnable"));
        write(notRunnable, "#!/bin/sh\n", 0644);
        write(root.filePath(QStringLiteral("fuse")), "", 0600);
        fuse.devicePath = root.filePath(QStringLiteral("fuse"));
        fuse.fusermountPaths = {};
        fuse.userIsRoot = true;
    }

    QString folder(const QString& name) {
        const QString path = root.filePath(name);
        EXPECT_TRUE(QDir().mkpath(path));
        return path;
    }

    static void write(const QString& path, const QByteArray& contents, mode_t mode = 0644) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
        file.close();
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
    }

    static QByteArray manifest(const QString& identifier, const QString& executable) {
        return QStringLiteral(R"({"bundle_identifier": "%1", "executable": "%2"})").arg(identifier, executable).toUtf8();
    }

    ModuleList scan(const QStringList& folders) {
        auto result = scanModuleFolders(folders, fuse);
        if (auto* error = std::get_if<ModuleQueryError>(&result)) {
            ADD_FAILURE() << error->message.toStdString();
            return {};
        }
        return std::get<ModuleList>(result);
    }

    QTemporaryDir root;
    QString systemFolder;
    QString userFolder;
    QString runnable;
    QString notRunnable;
    FuseAccess fuse;
};

TEST_F(ModuleFolders, ListsFolderByFolderAndEachFolderByFileName) {
    write(systemFolder + QStringLiteral("/b.json"), manifest(QStringLiteral("system.b"), runnable));
    write(systemFolder + QStringLiteral("/a.json"), manifest(QStringLiteral("system.a"), runnable));
    write(systemFolder + QStringLiteral("/B.json"), manifest(QStringLiteral("system.B"), runnable));
    write(userFolder + QStringLiteral("/0.json"), manifest(QStringLiteral("user.0"), runnable));
    const ModuleList modules = scan({systemFolder, root.filePath(QStringLiteral("absent")), userFolder});
    QStringList order;
    for (const ModuleIdentity& module : modules) {
        order.append(module.bundleIdentifier);
    }
    EXPECT_EQ(order, (QStringList{QStringLiteral("system.B"), QStringLiteral("system.a"), QStringLiteral("system.b"),
                                  QStringLiteral("user.0")}));
}

TEST_F(ModuleFolders, SkipsFilesThatAreNoManifest) {
    write(systemFolder + QStringLiteral("/1-broken.json"), R"({"bundle_identifier": )");
    write(systemFolder + QStringLiteral("/2-array.json"), R"(["org.orvel.brindle.module"])");
    write(systemFolder + QStringLiteral("/3-number-id.json"), R"({"bundle_identifier": 7})");
    write(systemFolder + QStringLiteral("/4-empty-id.json"), R"({"bundle_identifier": ""})");
    write(systemFolder + QStringLiteral("/5-huge.json"), QByteArray(100 * 1024, ' ') + manifest(brindle, runnable));
    ASSERT_TRUE(QDir().mkpath(systemFolder + QStringLiteral("/6-folder.json")));
    write(systemFolder + QStringLiteral("/7-good.json"), manifest(brindle, runnable));
    EXPECT_EQ(scan({systemFolder}), (ModuleList{{brindle, true}}));
}

TEST_F(ModuleFolders, AFolderThatExistsButCannotBeReadFailsTheListing) {
    write(systemFolder + QStringLiteral("/a.json"), manifest(brindle, runnable));
    const QString notAFolder = root.filePath(QStringLiteral("plain-file"));
    write(notAFolder, "");
    const auto result = scanModuleFolders({systemFolder, notAFolder}, fuse);
    ASSERT_TRUE(std::holds_alternative<ModuleQueryError>(result));
    EXPECT_TRUE(std::get<ModuleQueryError>(result).message.contains(notAFolder));
}

TEST_F(ModuleFolders, AnEmptyOrAbsentSetOfFoldersListsNoModules) {
    EXPECT_TRUE(scan({}).isEmpty());
    EXPECT_TRUE(scan({systemFolder, root.filePath(QStringLiteral("absent"))}).isEmpty());
}

TEST_F(ModuleFolders, AModuleIsEnabledWhenItsProgramRunsAndFuseIsUsableAndOtherwiseSaysWhichCheckFailed) {
    write(systemFolder + QStringLiteral("/1.json"), manifest(QStringLiteral("runnable"), runnable));
    write(systemFolder + QStringLiteral("/2.json"), manifest(QStringLiteral("not-runnable"), notRunnable));
    const QString absent = root.filePath(QStringLiteral("x"));
    write(systemFolder + QStringLiteral("/3.json"), manifest(QStringLiteral("absent"), absent));
    write(systemFolder + QStringLiteral("/4.json"), manifest(QStringLiteral("folder"), userFolder));
    write(systemFolder + QStringLiteral("/5.json"), manifest(QStringLiteral("relative"), QStringLiteral("brindle")));
    write(systemFolder + QStringLiteral("/6.json"), R"({"bundle_identifier": "no-executable"})");
    const auto notRunnableProgram = [](const QString& path) {
        return DisabledReason{DisabledReason::Check::programNotRunnable, path};
    };
    const ModuleList expected = {
        {QStringLiteral("runnable"), true},
        {QStringLiteral("not-runnable"), false, notRunnableProgram(notRunnable)},
        {QStringLiteral("absent"), false, notRunnableProgram(absent)},
        {QStringLiteral("folder"), false, notRunnableProgram(userFolder)},
        {QStringLiteral("relative"), false, notRunnableProgram(QStringLiteral("brindle"))},
        {QStringLiteral("no-executable"), false, DisabledReason{DisabledReason::Check::programNotNamed, QString()}}};
    EXPECT_EQ(scan({systemFolder}), expected);

    fuse.devicePath = root.filePath(QStringLiteral("no-device"));
    EXPECT_EQ(scan({systemFolder}).front(),
              (ModuleIdentity{QStringLiteral("runnable"), false,
                              DisabledReason{DisabledReason::Check::deviceMissing, fuse.devicePath}}));
}

TEST_F(ModuleFolders, RootCanMountWhenTheDeviceOpens) {
    EXPECT_EQ(fuse.failedCheck(), std::nullopt);
    fuse.devicePath = root.filePath(QStringLiteral("no-device"));
    EXPECT_EQ(fuse.failedCheck(), (DisabledReason{DisabledReason::Check::deviceMissing, fuse.devicePath}));
}

TEST_F(ModuleFolders, AnOrdinaryUserNeedsTheDeviceAndASetUserIdRootHelper) {
    fuse.userIsRoot = false;
    EXPECT_EQ(fuse.failedCheck(), (DisabledReason{DisabledReason::Check::mountHelperMissing, QString()}))
        << "the device alone does not let an ordinary user mount";

    const QString helper = root.filePath(QStringLiteral("fusermount3"));
    write(helper, "#!/bin/sh\n", 0755);
    fuse.fusermountPaths = {root.filePath(QStringLiteral("absent")), helper};
    const DisabledReason notSetUserId{DisabledReason::Check::mountHelperNotSetUserIdRoot, helper};
    EXPECT_EQ(fuse.failedCheck(), notSetUserId) << "a helper that is not set-user-id does not count";

    ASSERT_EQ(::chmod(QFile::encodeName(helper).constData(), 04755), 0);
    EXPECT_EQ(fuse.failedCheck(), ::geteuid() == 0 ? std::nullopt : std::optional(notSetUserId))
        << "set-user-id counts only when root owns the helper";
}

TEST_F(ModuleFolders, ADeviceClosedToTheUserDisablesTheModuleWhateverHelperIsInstalled) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can make a set-user-id root helper";
    }
    const QString helper = root.filePath(QStringLiteral("fusermount3"));
    write(helper, "#!/bin/sh\n", 04755);
    fuse.fusermountPaths = {helper};
    fuse.userIsRoot = false;
    QStringList asked;
    fuse.deviceOpens = [&asked](const QString& path) {
        asked.append(path);
        return false;
    };
    write(systemFolder + QStringLiteral("/brindle.json"), manifest(brindle, runnable));

    EXPECT_EQ(scan({systemFolder}),
              (ModuleList{{brindle, false, DisabledReason{DisabledReason::Check::deviceRefused, fuse.devicePath}}}));
    EXPECT_EQ(asked, QStringList{fuse.devicePath});

    fuse.deviceOpens = [](const QString&) { return true; };
    EXPECT_EQ(scan({systemFolder}), (ModuleList{{brindle, true}})) << "the same helper with the device open to the user";
}

TEST_F(ModuleFolders, TheFolderSourceAnswersOffTheCallersThread) {
    write(userFolder + QStringLiteral("/brindle.json"), manifest(brindle, runnable));
    const QString notAFolder = root.filePath(QStringLiteral("plain-file"));
    write(notAFolder, "");

    struct Answer {
        std::optional<ModuleList> modules;
        std::optional<ModuleQueryError> error;
        std::thread::id thread;
    };
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Answer> answers;
    {
        ManifestFolderSource good({systemFolder, userFolder}, fuse);
        ManifestFolderSource failing({notAFolder}, fuse);
        const auto record = [&](std::optional<ModuleList> modules, std::optional<ModuleQueryError> error) {
            std::lock_guard lock(mutex);
            answers.push_back({std::move(modules), std::move(error), std::this_thread::get_id()});
            arrived.notify_all();
        };
        good.fetchInstalledExtensionsWithCompletionHandler(record);
        failing.fetchInstalledExtensionsWithCompletionHandler(record);
        std::unique_lock lock(mutex);
        ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(10), [&] { return answers.size() == 2; }));
    }
    for (const Answer& answer : answers) {
        EXPECT_NE(answer.thread, std::this_thread::get_id());
        EXPECT_NE(answer.modules.has_value(), answer.error.has_value());
        if (answer.modules) {
            EXPECT_EQ(*answer.modules, (ModuleList{{brindle, true}}));
        }
    }
}

} // namespace
} // namespace orvel
