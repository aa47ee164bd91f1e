#include "LaunchedDelegate.h"

#include "Spinner.h"
#include "SymbolButton.h"
#include "TextLabel.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace orvel::testing {
namespace {

using StatusMonitor = LaunchedDelegate;

TEST_F(StatusMonitor, LaunchShowsTheWindowChecksAtOnceAndEveryFiveSeconds) {
    EXPECT_TRUE(delegate->window()->isVisible());
    EXPECT_EQ(delegate->statusTitleLabel()->stringValue(), text("status.checking.title"));
    EXPECT_EQ(source->fetchCount(), 1);
    EXPECT_TRUE(delegate->refreshInFlight());
    EXPECT_TRUE(delegate->progressIndicator()->isAnimating());
    ASSERT_NE(delegate->statusTimer(), nullptr);
    EXPECT_TRUE(delegate->statusTimer()->isActive());
    EXPECT_FALSE(delegate->statusTimer()->isSingleShot());
    EXPECT_EQ(delegate->statusTimer()->interval(), 5000);
}

TEST_F(StatusMonitor, TicksDuringAQueryStartNoSecondQuery) {
    delegate->statusTimer()->setInterval(5);
    QTest::qWait(60);
    EXPECT_EQ(source->fetchCount(), 1);

    answer(ModuleList{});
    EXPECT_TRUE(QTest::qWaitFor([&] { return source->fetchCount() == 2; }));
    QTest::qWait(60);
    EXPECT_EQ(source->fetchCount(), 2);
}

TEST_F(StatusMonitor, AnAnswerFromAnotherThreadIsAppliedOnTheMainThread) {
    ASSERT_TRUE(source->answerFromAnotherThread(ModuleList{{brindleIdentifier, true}}));
    EXPECT_TRUE(delegate->refreshInFlight());
    EXPECT_EQ(delegate->statusTitleLabel()->stringValue(), text("status.checking.title"));

    EXPECT_TRUE(
        QTest::qWaitFor([&] { return delegate->statusTitleLabel()->stringValue() == text("status.enabled.title"); }));
    EXPECT_FALSE(delegate->refreshInFlight());
    EXPECT_FALSE(delegate->progressIndicator()->isAnimating());
}

TEST_F(StatusMonitor, AnAnswerArrivingAfterItsDelegateIsGoneReachesNoOtherDelegate) {
    delegate = makeDelegate(StringTable::load(QStringLiteral(ORVEL_STRINGS_TABLE)));
    delegate->applicationDidFinishLaunching();
    ASSERT_EQ(source->fetchCount(), 2);

    ASSERT_TRUE(source->answerFromAnotherThread(ModuleList{{brindleIdentifier, true}}));
    QCoreApplication::processEvents();
    EXPECT_TRUE(delegate->refreshInFlight());
    EXPECT_EQ(delegate->statusTitleLabel()->stringValue(), text("status.checking.title"));

    answer(ModuleList{{brindleIdentifier, false}});
    EXPECT_EQ(delegate->statusTitleLabel()->stringValue(), text("status.disabled.title"));
}

TEST_F(StatusMonitor, TheAnswerDecidesTheState) {
    struct Case {
        const char* name;
        std::optional<ModuleList> modules;
        std::optional<ModuleQueryError> error;
        const char* title;
        const char* body;
    };
    const QString other = QStringLiteral("org.example.other.module");
    const std::vector<Case> cases = {
        {"enabled", ModuleList{{other, false}, {brindleIdentifier, true}}, {}, "status.enabled.title",
         "status.enabled.body"},
        {"disabled", ModuleList{{brindleIdentifier, false}}, {}, "status.disabled.title", "status.disabled.body"},
        {"empty list", ModuleList{}, {}, "status.error.title", "status.error.body"},
        {"no list", std::nullopt, {}, "status.error.title", "status.error.body"},
        {"other modules only", ModuleList{{other, true}}, {}, "status.error.title", "status.error.body"},
        {"different case", ModuleList{{QStringLiteral("org.orvel.Brindle.module"), true}}, {}, "status.error.title",
         "status.error.body"},
        {"failed query", std::nullopt, ModuleQueryError{QStringLiteral("boom")}, "status.error.title",
         "status.error.body"},
        {"failure wins over a list", ModuleList{{brindleIdentifier, true}}, ModuleQueryError{}, "status.error.title",
         "status.error.body"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        delegate->updateUIWithModules(c.modules, c.error);
        EXPECT_EQ(delegate->statusTitleLabel()->stringValue(), text(c.title));
        EXPECT_EQ(delegate->statusBodyLabel()->stringValue(), text(c.body));
    }
}

TEST_F(StatusMonitor, MissingAndErrorShareTheirTextsButNotTheirInstructionsTitle) {
    delegate->updateUIWithModules(ModuleList{}, std::nullopt);
    EXPECT_EQ(delegate->instructionsBodyLabel()->stringValue(), text("status.error.instructions"));
    EXPECT_EQ(delegate->instructionsTitleLabel()->stringValue(), text("instructions.title.missing"));
    delegate->updateUIWithModules(std::nullopt, ModuleQueryError{});
    EXPECT_EQ(delegate->instructionsBodyLabel()->stringValue(), text("status.error.instructions"));
    EXPECT_EQ(delegate->instructionsTitleLabel()->stringValue(), text("instructions.title.error"));
}

TEST_F(StatusMonitor, TheErrorStateNamesWhatCouldNotBeRead) {
    const QString reason = QStringLiteral("/usr/share/fs-modules: Permission denied");
    delegate->updateUIWithModules(std::nullopt, ModuleQueryError{reason});
    EXPECT_EQ(delegate->statusTitleLabel()->stringValue(), text("status.error.title"));
    EXPECT_EQ(delegate->instructionsBodyLabel()->stringValue(),
              text("status.error.reason").arg(reason) + QStringLiteral("\n") + text("status.error.instructions"));
    EXPECT_TRUE(text("status.error.reason").contains(QStringLiteral("%1")));
}

// "Not switched on" alone leaves the user guessing which of the checks to fix.
TEST_F(StatusMonitor, TheDisabledStateNamesTheFailedCheckAndWhatToDo) {
    using Check = DisabledReason::Check;
    const struct {
        Check check;
        const char* key;
        QString path;
    } reasons[] = {
        {Check::programNotNamed, "status.disabled.reason.program_not_named", QString()},
        {Check::programNotRunnable, "status.disabled.reason.program_not_runnable", QStringLiteral("/opt/b/brindle")},
        {Check::deviceMissing, "status.disabled.reason.device_missing", QStringLiteral("/dev/fuse")},
        {Check::deviceRefused, "status.disabled.reason.device_refused", QStringLiteral("/dev/fuse")},
        {Check::mountHelperMissing, "status.disabled.reason.mount_helper_missing", QString()},
        {Check::mountHelperNotSetUserIdRoot, "status.disabled.reason.mount_helper_not_set_user_id_root",
         QStringLiteral("/usr/bin/fusermount3")},
    };
    QStringList shown;
    for (const auto& reason : reasons) {
        SCOPED_TRACE(reason.key);
        delegate->updateUIWithModules(ModuleList{{brindleIdentifier, false, DisabledReason{reason.check, reason.path}}},
                                      std::nullopt);
        EXPECT_EQ(delegate->statusTitleLabel()->stringValue(), text("status.disabled.title"));
        const QString instructions = delegate->instructionsBodyLabel()->stringValue();
        EXPECT_TRUE(instructions.endsWith(QStringLiteral("\n") + text("status.disabled.instructions")));
        const QString lead = instructions.section(QLatin1Char('\n'), 0, 0);
        EXPECT_NE(lead, QString::fromLatin1(reason.key)) << "the table has no text for it";
        EXPECT_TRUE(lead.contains(reason.path));
        EXPECT_FALSE(lead.contains(QStringLiteral("%1")));
        shown.append(lead);
    }
    shown.removeDuplicates();
    EXPECT_EQ(shown.size(), std::size(reasons));

    delegate->updateUIWithModules(ModuleList{{brindleIdentifier, false}}, std::nullopt);
    EXPECT_EQ(delegate->instructionsBodyLabel()->stringValue(), text("status.disabled.instructions"))
        << "a listing that does not say why shows the instructions alone";
}

TEST_F(StatusMonitor, CheckAgainAsksAtOnceAndOnlyOnceWhileAQueryIsOut) {
    answer(std::nullopt, ModuleQueryError{QStringLiteral("/usr/share/fs-modules: Permission denied")});
    ASSERT_TRUE(delegate->checkAgainButton()->isVisible());
    delegate->checkAgainButton()->click();
    EXPECT_EQ(source->fetchCount(), 2);
    EXPECT_TRUE(delegate->progressIndicator()->isAnimating());
    delegate->checkAgainButton()->click();
    EXPECT_EQ(source->fetchCount(), 2);
    answer(ModuleList{{brindleIdentifier, true}});
    EXPECT_EQ(delegate->statusTitleLabel()->stringValue(), text("status.enabled.title"));
    EXPECT_FALSE(delegate->checkAgainButton()->isVisible());
}

TEST_F(StatusMonitor, TheMissingStateOpensTheSetupPageAndSaysWhereItIsWhenNoBrowserCan) {
    answer(ModuleList{});
    ASSERT_TRUE(delegate->openSettingsButton()->isVisible());
    browserOpensPages = false;
    delegate->openSettingsButton()->click();
    ASSERT_EQ(openedURLs.size(), 1);
    EXPECT_EQ(openedURLs.front(), QUrl::fromLocalFile(settingsPage));
    EXPECT_TRUE(delegate->settingsPageNoteLabel()->isVisible());
    delegate->updateUIWithModules(std::nullopt, ModuleQueryError{});
    EXPECT_FALSE(delegate->settingsPageNoteLabel()->isVisible());
}

TEST_F(StatusMonitor, TheFirstModuleWithTheIdentifierDecides) {
    const ModuleList enabledFirst = {{brindleIdentifier, true}, {brindleIdentifier, false}};
    const ModuleList disabledFirst = {{brindleIdentifier, false}, {brindleIdentifier, true}};
    EXPECT_EQ(delegate->fskitModuleInModules(enabledFirst), (ModuleIdentity{brindleIdentifier, true}));
    EXPECT_EQ(delegate->fskitModuleInModules(disabledFirst), (ModuleIdentity{brindleIdentifier, false}));
    EXPECT_EQ(delegate->fskitModuleInModules({{brindleIdentifier.toUpper(), true}}), std::nullopt);
    EXPECT_EQ(delegate->fskitModuleInModules({{brindleIdentifier + QStringLiteral(" "), true}}), std::nullopt);

    answer(disabledFirst);
    EXPECT_EQ(delegate->statusTitleLabel()->stringValue(), text("status.disabled.title"));
}

TEST_F(StatusMonitor, EveryAnswerRendersAgainEvenWithoutAChange) {
    answer(ModuleList{});
    delegate->statusTitleLabel()->setStringValue(QStringLiteral("stale"));
    delegate->refreshModuleStatus();
    answer(ModuleList{});
    EXPECT_EQ(delegate->statusTitleLabel()->stringValue(), text("status.error.title"));
}

TEST_F(StatusMonitor, TheStateNeverReturnsToChecking) {
    answer(ModuleList{{brindleIdentifier, true}});
    delegate->refreshModuleStatus();
    EXPECT_EQ(source->fetchCount(), 2);
    EXPECT_EQ(delegate->statusTitleLabel()->stringValue(), text("status.enabled.title"));
}

TEST_F(StatusMonitor, ClosingTheWindowKeepsTheApplicationAndTheTimer) {
    answer(ModuleList{});
    delegate->statusTimer()->setInterval(10);
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());

    QTimer::singleShot(0, delegate->window(), &QWidget::close);
    bool windowVisible = true;
    bool timerActive = false;
    int fetches = 0;
    QTimer::singleShot(200, qApp, [&] {
        windowVisible = delegate->window()->isVisible();
        timerActive = delegate->statusTimer() && delegate->statusTimer()->isActive();
        fetches = source->fetchCount();
        QCoreApplication::exit(7);
    });
    // An application that quit with its last window would leave the loop with 0.
    EXPECT_EQ(QCoreApplication::exec(), 7);
    EXPECT_FALSE(windowVisible);
    EXPECT_TRUE(timerActive);
    EXPECT_EQ(fetches, 2);
}

TEST_F(StatusMonitor, ReopeningShowsAClosedWindowAgain) {
    delegate->window()->close();
    ASSERT_FALSE(delegate->window()->isVisible());
    EXPECT_TRUE(delegate->applicationShouldHandleReopen(true));
    EXPECT_FALSE(delegate->window()->isVisible());
    EXPECT_TRUE(delegate->applicationShouldHandleReopen(false));
    EXPECT_TRUE(delegate->window()->isVisible());

    delegate->window()->showMinimized();
    EXPECT_TRUE(delegate->applicationShouldHandleReopen(false));
    EXPECT_FALSE(delegate->window()->isMinimized());
}

TEST_F(StatusMonitor, QuittingStopsTheTimer) {
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    EXPECT_EQ(delegate->statusTimer(), nullptr);
}

TEST_F(StatusMonitor, OpenSettingsOpensTheSetupPageWhenItIsInstalled) {
    delegate->openSettings();
    ASSERT_EQ(openedURLs.size(), 1);
    EXPECT_EQ(openedURLs.front(), QUrl::fromLocalFile(settingsPage));

    ASSERT_TRUE(QFile::remove(settingsPage));
    delegate->openSettings();
    EXPECT_EQ(openedURLs.size(), 1);
}

TEST_F(StatusMonitor, WhenNoBrowserOpensTheSetupPageTheWindowSaysWhereItIs) {
    answer(ModuleList{{brindleIdentifier, false}});
    EXPECT_FALSE(delegate->settingsPageNoteLabel()->isVisible());
    browserOpensPages = false;
    delegate->openSettings();
    EXPECT_TRUE(delegate->settingsPageNoteLabel()->isVisible());
    EXPECT_EQ(delegate->settingsPageNoteLabel()->stringValue(), text("settings_page.not_opened").arg(settingsPage));

    delegate->refreshModuleStatus();
    answer(ModuleList{{brindleIdentifier, false}});
    EXPECT_TRUE(delegate->settingsPageNoteLabel()->isVisible()) << "the note outlives the next check";

    delegate->refreshModuleStatus();
    answer(ModuleList{{brindleIdentifier, true}});
    EXPECT_FALSE(delegate->settingsPageNoteLabel()->isVisible());
}

TEST_F(StatusMonitor, WhenTheSetupPageIsMissingTheWindowSaysWhereTheStepsAre) {
    answer(ModuleList{{brindleIdentifier, false}});
    ASSERT_TRUE(QFile::remove(settingsPage));
    delegate->openSettings();
    EXPECT_TRUE(delegate->settingsPageNoteLabel()->isVisible());
    EXPECT_EQ(delegate->settingsPageNoteLabel()->stringValue(), text("settings_page.missing").arg(settingsPage));

    ASSERT_TRUE(QFile(settingsPage).open(QIODevice::WriteOnly));
    delegate->openSettings();
    EXPECT_FALSE(delegate->settingsPageNoteLabel()->isVisible()) << "the page opened this time";
}

} // namespace
} // namespace orvel::testing
