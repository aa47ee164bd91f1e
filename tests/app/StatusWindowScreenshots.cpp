// Renders the status window in each of its five states, and the disabled state after the setup
// page failed to open, to PNG files, for review.
#include "AppDelegate.h"
#include "ScriptedModuleSource.h"

#include <QApplication>
#include <QDir>
#include <QTest>

#include <cstdio>

using namespace orvel;

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: orvel_screenshots STRINGS_TABLE OUTPUT_FOLDER\n");
        return 2;
    }
    const QDir output(arguments.at(2));
    if (!QDir().mkpath(output.path())) {
        std::fprintf(stderr, "orvel_screenshots: cannot create %s\n", qPrintable(output.path()));
        return 1;
    }

    auto source = std::make_shared<testing::ScriptedModuleSource>();
    AppDelegate delegate(application, AppServices{.installedModules = source,
                                                  .strings = StringTable::load(arguments.at(1)),
                                                  .settingsPagePath = QStringLiteral("/usr/share/doc/brindle/enable.html"),
                                                  .openURL = [](const QUrl&) { return false; }});
    delegate.applicationDidFinishLaunching();
    // Let the spinner turn a little, as it would while the first check runs.
    QTest::qWait(300);

    const QString brindle = QStringLiteral("org.orvel.brindle.module");
    const DisabledReason helperNotSetUserId{DisabledReason::Check::mountHelperNotSetUserIdRoot,
                                            QStringLiteral("/usr/bin/fusermount3")};
    const struct {
        const char* name;
        std::optional<ModuleList> modules;
        std::optional<ModuleQueryError> error;
        bool pressButton = false;
    } states[] = {
        {"0-checking", std::nullopt, std::nullopt},
        {"1-missing", ModuleList{}, std::nullopt},
        {"2-disabled", ModuleList{{brindle, false, helperNotSetUserId}}, std::nullopt},
        {"3-enabled", ModuleList{{brindle, true}}, std::nullopt},
        {"4-error", std::nullopt, ModuleQueryError{QStringLiteral("/usr/share/fs-modules: Permission denied")}},
        {"5-disabled-page-not-opened", ModuleList{{brindle, false, helperNotSetUserId}}, std::nullopt, true},
    };
    for (const auto& state : states) {
        // Each later state answers a check; the first answers the launch's, the others one a tick starts.
        if (state.modules || state.error) {
            delegate.refreshModuleStatus();
            source->answer(state.modules, state.error);
        }
        if (state.pressButton) {
            delegate.openSettings();
        }
        QCoreApplication::processEvents();
        const QString path = output.filePath(QString::fromLatin1(state.name) + QStringLiteral(".png"));
        if (!delegate.window()->grab().save(path)) {
            std::fprintf(stderr, "orvel_screenshots: cannot write %s\n", qPrintable(path));
            return 1;
        }
        std::printf("%s\n", qPrintable(path));
    }
    return 0;
}
