#pragma once

#include "AppDelegate.h"
#include "ScriptedModuleSource.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <memory>

namespace orvel::testing {

inline const QString brindleIdentifier = QStringLiteral("org.orvel.brindle.module");

// An application delegate that has launched against a scripted module listing, with the shipped
// English texts and a settings page in a temporary folder.
class LaunchedDelegate : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pageFolder.isValid());
        settingsPage = pageFolder.filePath(QStringLiteral("enable.html"));
        QFile page(settingsPage);
        ASSERT_TRUE(page.open(QIODevice::WriteOnly));
        page.write("<html></html>");
        page.close();
        delegate = makeDelegate(StringTable::load(QStringLiteral(ORVEL_STRINGS_TABLE)));
        delegate->applicationDidFinishLaunching();
    }

    std::unique_ptr<AppDelegate> makeDelegate(StringTable strings) {
        return std::make_unique<AppDelegate>(
            *qApp, AppServices{.installedModules = source,
                               .strings = std::move(strings),
                               .settingsPagePath = settingsPage,
                               .openURL = [this](const QUrl& url) {
                                   openedURLs.append(url);
                                   return browserOpensPages;
                               }});
    }

    // Answers the outstanding query and lets the answer reach the main thread.
    void answer(std::optional<ModuleList> modules, std::optional<ModuleQueryError> error = std::nullopt) {
        ASSERT_TRUE(source->answer(std::move(modules), std::move(error)));
        QCoreApplication::processEvents();
    }

    QString text(const char* key) const {
        return StringTable::load(QStringLiteral(ORVEL_STRINGS_TABLE)).localizedString(QString::fromLatin1(key));
    }

    std::shared_ptr<ScriptedModuleSource> source = std::make_shared<ScriptedModuleSource>();
    QTemporaryDir pageFolder;
    QString settingsPage;
    QList<QUrl> openedURLs;
    bool browserOpensPages = true;
    std::unique_ptr<AppDelegate> delegate;
};

} // namespace orvel::testing
