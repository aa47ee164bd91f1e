#include "AppDelegate.h"
#include "FuseAccess.h"
#include "ManifestFolderSource.h"
#include "ModuleFolders.h"
#include "ReopenChannel.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QLocale>
#include <QStandardPaths>

#include <algorithm>
#include <memory>

using namespace orvel;

namespace {

// Installed files lie beside the program as in the install prefix: bin/orvel, share/...
QString sharedDataPath(const QString& relativePath) {
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../share/") + relativePath);
}

bool hasVisibleWindows() {
    const QWidgetList windows = QApplication::topLevelWidgets();
    return std::any_of(windows.begin(), windows.end(), [](const QWidget* window) { return window->isVisible() && !window->isMinimized(); });
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("orvel"));
    QGuiApplication::setDesktopFileName(QStringLiteral("orvel"));

    const QString runtimeFolder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    std::unique_ptr<ReopenChannel> reopen;
    if (!runtimeFolder.isEmpty()) {
        reopen = std::make_unique<ReopenChannel>(QDir(runtimeFolder).filePath(QStringLiteral("orvel.reopen")));
        if (reopen->askRunningInstance()) {
            return 0;
        }
        reopen->listen();
    }

    AppDelegate delegate(
        application,
        AppServices{
            .installedModules = std::make_shared<ManifestFolderSource>(platformModuleFolders(), FuseAccess{}),
            .strings = StringTable::loadForLanguages(sharedDataPath(QStringLiteral("orvel/strings")),
                                                     QLocale::system().uiLanguages()),
            .settingsPagePath = sharedDataPath(QStringLiteral("doc/brindle/enable.html")),
            .openURL = [](const QUrl& url) { return QDesktopServices::openUrl(url); },
        });
    if (reopen) {
        QObject::connect(reopen.get(), &ReopenChannel::reopenRequested, &delegate,
                         [&delegate] { delegate.applicationShouldHandleReopen(hasVisibleWindows()); });
    }
    QMetaObject::invokeMethod(&delegate, &AppDelegate::applicationDidFinishLaunching, Qt::QueuedConnection);
    return application.exec();
}
