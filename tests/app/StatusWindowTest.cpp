#include "LaunchedDelegate.h"

#include "CalibratedColor.h"
#include "ImageView.h"
#include "LayerView.h"
#include "SymbolButton.h"
#include "TextLabel.h"

#include <QFontDatabase>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTest>

namespace orvel::testing {
namespace {

using StatusWindow = LaunchedDelegate;

const QColor amberBackground = calibratedColor(0.96, 0.93, 0.88, 0.95);
const QColor amberBorder = calibratedColor(0.87, 0.76, 0.56, 1);
const QColor neutralBackground = calibratedColor(0.99, 0.97, 0.94, 0.95);
const QColor neutralBorder = calibratedColor(0.84, 0.79, 0.72, 1);

struct Rendering {
    StatusState state;
    bool instructionsVisible;
    bool openSettingsVisible;
    bool checkAgainVisible;
    std::optional<const char*> badgeKey; // none: badge hidden
    QColor iconColor;
    const char* symbol;
    std::optional<const char*> instructionsTitleKey; // none: empty title
    bool amber;
};

const std::vector<Rendering> renderings = {
    {StatusState::checking, true, false, false, "badge.checking", calibratedColor(0.36, 0.45, 0.43, 1),
     "ellipsis.circle.fill", "instructions.title.standby", false},
    {StatusState::missing, true, true, false, std::nullopt, calibratedColor(0.71, 0.49, 0.22, 1),
     "questionmark.folder.fill", "instructions.title.missing", false},
    {StatusState::disabled, true, true, false, std::nullopt, calibratedColor(0.86, 0.57, 0.22, 1), "switch.2",
     "instructions.title.disabled", true},
    {StatusState::enabled, false, false, false, std::nullopt, calibratedColor(0.22, 0.58, 0.38, 1),
     "checkmark.seal.fill", std::nullopt, false},
    {StatusState::error, true, false, true, "badge.error", calibratedColor(0.77, 0.27, 0.27, 1), "xmark.octagon.fill",
     "instructions.title.error", false},
};

TEST_F(StatusWindow, CardsAndViewsSitAtTheirBottomLeftFrames) {
    QWidget* window = delegate->window();
    EXPECT_EQ(window->size(), QSize(840, 640));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_EQ(window->windowTitle(), text("app.title"));

    EXPECT_EQ(viewFrame(delegate->heroPanel()), (Frame{24, 488, 792, 128}));
    EXPECT_EQ(delegate->heroPanel()->geometry(), QRect(24, 24, 792, 128));
    EXPECT_EQ(delegate->statusPanel()->geometry(), QRect(24, 176, 792, 136));
    EXPECT_EQ(delegate->instructionsPanel()->geometry(), QRect(24, 336, 792, 256));
    EXPECT_EQ(delegate->openSettingsButton()->geometry(), QRect(24, 194, 198, 40));
    EXPECT_EQ(delegate->statusIconView()->geometry(), QRect(24, 37, 56, 56));

    for (LayerView* card : {delegate->heroPanel(), delegate->statusPanel(), delegate->instructionsPanel()}) {
        EXPECT_EQ(card->layer().cornerRadius, 24);
        EXPECT_EQ(card->layer().borderWidth, 1);
        EXPECT_NE(card->graphicsEffect(), nullptr);
    }
    EXPECT_EQ(delegate->statusIconView()->symbolPointSize(), 28);
    EXPECT_EQ(delegate->statusIconView()->contentTintColor(), QColor(Qt::white));
    EXPECT_EQ(delegate->statusIconView()->layer().cornerRadius, 28);
    EXPECT_EQ(delegate->badgeLabel()->alignment(), Qt::AlignCenter);
    EXPECT_EQ(delegate->badgeLabel()->font().family(), QFontDatabase::systemFont(QFontDatabase::FixedFont).family());
    EXPECT_EQ(delegate->openSettingsButton()->contentTintColor(), QColor(Qt::white));
    EXPECT_EQ(delegate->titleLabel()->stringValue(), text("app.title"));
    EXPECT_EQ(delegate->subtitleLabel()->stringValue(), text("app.subtitle"));
    EXPECT_EQ(delegate->openSettingsButton()->text(), text("button.open_settings"));
    EXPECT_EQ(delegate->openSettingsButton()->toolTip(), text("button.open_settings.tooltip"));
    ASSERT_TRUE(delegate->openSettingsButton()->image());
    EXPECT_EQ(delegate->openSettingsButton()->image()->name(), QStringLiteral("gearshape.fill"));
    EXPECT_EQ(delegate->checkAgainButton()->geometry(), delegate->openSettingsButton()->geometry());
    EXPECT_EQ(delegate->checkAgainButton()->text(), text("button.check_again"));
    ASSERT_TRUE(delegate->checkAgainButton()->image());
    EXPECT_EQ(delegate->checkAgainButton()->image()->name(), QStringLiteral("arrow.clockwise"));
}

TEST_F(StatusWindow, EachStateRendersItsCardsBadgeIconAndPalette) {
    for (const Rendering& r : renderings) {
        SCOPED_TRACE(int(r.state));
        delegate->transitionToState(r.state, QStringLiteral("title"), QStringLiteral("body"),
                                    QStringLiteral("instructions"));
        EXPECT_EQ(delegate->statusTitleLabel()->stringValue(), QStringLiteral("title"));
        EXPECT_EQ(delegate->statusBodyLabel()->stringValue(), QStringLiteral("body"));
        EXPECT_EQ(delegate->instructionsPanel()->isVisible(), r.instructionsVisible);
        EXPECT_EQ(delegate->openSettingsButton()->isVisible(), r.openSettingsVisible);
        EXPECT_EQ(delegate->openSettingsButton()->isEnabled(), r.openSettingsVisible);
        EXPECT_EQ(delegate->checkAgainButton()->isVisible(), r.checkAgainVisible);
        EXPECT_EQ(delegate->checkAgainButton()->isEnabled(), r.checkAgainVisible);

        EXPECT_EQ(delegate->badgeLabel()->isVisible(), r.badgeKey.has_value());
        if (r.badgeKey) {
            EXPECT_EQ(delegate->badgeLabel()->stringValue(), QStringLiteral("  %1  ").arg(text(*r.badgeKey)));
        }
        EXPECT_EQ(delegate->statusIconView()->layer().backgroundColor, r.iconColor);
        ASSERT_TRUE(delegate->statusIconView()->image());
        EXPECT_EQ(delegate->statusIconView()->image()->name(), QString::fromLatin1(r.symbol));
        EXPECT_EQ(delegate->instructionsTitleLabel()->stringValue(),
                  r.instructionsTitleKey ? text(*r.instructionsTitleKey) : QString());
        EXPECT_EQ(delegate->instructionsBodyLabel()->stringValue(), QStringLiteral("instructions"));

        EXPECT_EQ(delegate->instructionsPanel()->layer().backgroundColor, r.amber ? amberBackground : neutralBackground);
        EXPECT_EQ(delegate->instructionsPanel()->layer().borderColor, r.amber ? amberBorder : neutralBorder);
        EXPECT_EQ(delegate->instructionsTitleLabel()->textColor(),
                  r.amber ? calibratedColor(0.37, 0.24, 0.11, 1) : calibratedColor(0.3, 0.33, 0.31, 1));
        EXPECT_EQ(delegate->instructionsBodyLabel()->textColor(),
                  r.amber ? calibratedColor(0.4, 0.29, 0.17, 1) : calibratedColor(0.3, 0.33, 0.31, 1));
    }
}

TEST_F(StatusWindow, TheBadgeColourChangesOnlyWithTheBadge) {
    answer(std::nullopt, ModuleQueryError{});
    EXPECT_EQ(delegate->badgeLabel()->layer().backgroundColor, calibratedColor(0.58, 0.2, 0.2, 1));
    delegate->updateUIWithModules(ModuleList{}, std::nullopt);
    EXPECT_EQ(delegate->badgeLabel()->layer().backgroundColor, calibratedColor(0.58, 0.2, 0.2, 1));
    delegate->transitionToState(StatusState::checking, {}, {}, {});
    EXPECT_EQ(delegate->badgeLabel()->layer().backgroundColor, calibratedColor(0.36, 0.45, 0.43, 1));
}

TEST_F(StatusWindow, StatusTextsMoveUpWhileTheBadgeIsHidden) {
    EXPECT_EQ(viewFrame(delegate->statusTitleLabel()), (Frame{96, 60, 590, 30}));
    EXPECT_EQ(viewFrame(delegate->statusBodyLabel()), (Frame{96, 22, 620, 34}));

    answer(ModuleList{});
    EXPECT_EQ(viewFrame(delegate->statusTitleLabel()), (Frame{96, 70, 590, 30}));
    EXPECT_EQ(viewFrame(delegate->statusBodyLabel()), (Frame{96, 30, 620, 34}));
    EXPECT_EQ(delegate->statusTitleLabel()->geometry().y(), 136 - 70 - 30);

    delegate->updateUIWithModules(std::nullopt, ModuleQueryError{});
    EXPECT_EQ(viewFrame(delegate->statusTitleLabel()), (Frame{96, 60, 590, 30}));
    EXPECT_EQ(viewFrame(delegate->statusBodyLabel()), (Frame{96, 22, 620, 34}));
}

TEST_F(StatusWindow, TheAmberPaletteLastsOnlyWhileDisabled) {
    answer(ModuleList{{brindleIdentifier, false}});
    EXPECT_EQ(delegate->instructionsPanel()->layer().backgroundColor, amberBackground);
    delegate->updateUIWithModules(ModuleList{{brindleIdentifier, true}}, std::nullopt);
    EXPECT_EQ(delegate->instructionsPanel()->layer().backgroundColor, neutralBackground);
    delegate->updateUIWithModules(ModuleList{{brindleIdentifier, false}}, std::nullopt);
    delegate->updateUIWithModules(ModuleList{}, std::nullopt);
    EXPECT_EQ(delegate->instructionsPanel()->layer().borderColor, neutralBorder);
    EXPECT_EQ(delegate->instructionsBodyLabel()->attributedStringValue()->foregroundColor,
              calibratedColor(0.3, 0.33, 0.31, 1));
}

TEST_F(StatusWindow, EnabledHidesTheInstructionsAndEmptiesThem) {
    answer(ModuleList{{brindleIdentifier, true}});
    EXPECT_FALSE(delegate->instructionsPanel()->isVisible());
    EXPECT_FALSE(delegate->openSettingsButton()->isVisible());
    EXPECT_TRUE(delegate->instructionsTitleLabel()->stringValue().isEmpty());
    EXPECT_TRUE(delegate->instructionsBodyLabel()->stringValue().isEmpty());
}

// Every view that shows lies inside its parent, and every text inside its label.
void expectEverythingShowsWhole(QWidget* view) {
    for (QWidget* child : view->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isHidden()) {
            continue;
        }
        const QRect inside = child->geometry();
        EXPECT_TRUE(view->rect().contains(inside))
            << child->metaObject()->className() << " at " << inside.x() << "," << inside.y() << " " << inside.width()
            << "x" << inside.height() << " leaves its parent of " << view->width() << "x" << view->height();
        if (auto* label = qobject_cast<TextLabel*>(child)) {
            EXPECT_LE(label->fittingHeight(), label->height()) << "cut off: " << label->stringValue().toStdString();
        }
        expectEverythingShowsWhole(child);
    }
}

// Also run on a 1280 x 800 screen at 150 % (853 x 533 points), where the cards close up to fit.
TEST_F(StatusWindow, TheWindowFitsItsScreenWithItsTitleBarShowingAndShowsEveryStateWithoutScrolling) {
    auto* window = qobject_cast<QScrollArea*>(delegate->window());
    ASSERT_NE(window, nullptr);
    const QRect available = window->screen()->availableGeometry();
    const QRect frame = window->frameGeometry();
    EXPECT_TRUE(available.contains(frame)) << "window at " << frame.x() << "," << frame.y() << ", " << frame.width()
                                           << "x" << frame.height() << " on " << available.width() << "x"
                                           << available.height();
    // Where the platform draws no frame, room is still left for a window manager's title bar.
    const int titleBar = window->style()->pixelMetric(QStyle::PM_TitleBarHeight);
    EXPECT_LE(window->height() + titleBar, available.height());

    ASSERT_NE(window->widget(), nullptr);
    // The scroll area settles its bars once the events of showing the window are through.
    QCoreApplication::processEvents();
    EXPECT_EQ(window->viewport()->size(), window->widget()->size());
    EXPECT_FALSE(window->verticalScrollBar()->isVisible());
    EXPECT_FALSE(window->horizontalScrollBar()->isVisible());

    const std::pair<std::optional<ModuleList>, std::optional<ModuleQueryError>> answers[] = {
        {ModuleList{}, std::nullopt},
        {ModuleList{{brindleIdentifier, false,
                     DisabledReason{DisabledReason::Check::mountHelperNotSetUserIdRoot,
                                    QStringLiteral("/usr/local/bin/fusermount3")}}},
         std::nullopt},
        {ModuleList{{brindleIdentifier, false,
                     DisabledReason{DisabledReason::Check::programNotRunnable,
                                    QStringLiteral("/home/ann/.local/lib/brindle/bin/brindle")}}},
         std::nullopt},
        {ModuleList{{brindleIdentifier, true}}, std::nullopt},
        {std::nullopt, ModuleQueryError{QStringLiteral("/home/ann/.local/share/fs-modules: Permission denied")}},
    };
    SCOPED_TRACE("checking");
    expectEverythingShowsWhole(window->widget());
    for (const auto& [modules, error] : answers) {
        answer(modules, error);
        SCOPED_TRACE(delegate->statusTitleLabel()->stringValue().toStdString());
        expectEverythingShowsWhole(window->widget());
        delegate->refreshModuleStatus();
    }
}

TEST_F(StatusWindow, TheWindowCarriesTheApplicationIcon) {
    EXPECT_FALSE(delegate->window()->windowIcon().pixmap(64).isNull());
}

TEST_F(StatusWindow, InstructionsCarryTheBodyFontColourAndParagraphStyle) {
    answer(ModuleList{{brindleIdentifier, false}});
    const auto& value = delegate->instructionsBodyLabel()->attributedStringValue();
    ASSERT_TRUE(value);
    EXPECT_EQ(value->string, text("status.disabled.instructions"));
    EXPECT_EQ(value->font, delegate->instructionsBodyLabel()->font());
    EXPECT_EQ(value->font.pixelSize(), 14);
    EXPECT_EQ(value->foregroundColor, calibratedColor(0.4, 0.29, 0.17, 1));
    EXPECT_EQ(value->paragraphStyle, (ParagraphStyle{4, 10}));
}

TEST_F(StatusWindow, ReturnPressesTheButtonOfTheState) {
    QWidget* window = delegate->window();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));

    answer(ModuleList{});
    QTest::keyClick(window, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return openedURLs.size() == 1; }));
    EXPECT_EQ(openedURLs.front(), QUrl::fromLocalFile(settingsPage));

    delegate->updateUIWithModules(ModuleList{{brindleIdentifier, false}}, std::nullopt);
    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return openedURLs.size() == 2; }));

    delegate->updateUIWithModules(std::nullopt, ModuleQueryError{});
    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return source->fetchCount() == 2; }));
    EXPECT_EQ(openedURLs.size(), 2);

    ASSERT_TRUE(source->answer(ModuleList{{brindleIdentifier, true}}));
    QCoreApplication::processEvents();
    QTest::keyClick(window, Qt::Key_Return);
    QTest::qWait(20);
    EXPECT_EQ(openedURLs.size(), 2);
    EXPECT_EQ(source->fetchCount(), 2);
}

TEST_F(StatusWindow, AnUnknownStateLeavesIconAndBadgeAsTheyWere) {
    delegate->transitionToState(static_cast<StatusState>(7), QStringLiteral("t"), QStringLiteral("b"),
                                QStringLiteral("i"));
    EXPECT_EQ(delegate->statusIconView()->image()->name(), QStringLiteral("ellipsis.circle.fill"));
    EXPECT_TRUE(delegate->badgeLabel()->isVisible());
    EXPECT_EQ(viewFrame(delegate->statusTitleLabel()), (Frame{96, 60, 590, 30}));
    EXPECT_FALSE(delegate->openSettingsButton()->isVisible());
    EXPECT_FALSE(delegate->checkAgainButton()->isVisible());
    EXPECT_TRUE(delegate->instructionsPanel()->isVisible());
}

TEST_F(StatusWindow, AMissingTextShowsItsKey) {
    auto untranslated = makeDelegate(StringTable());
    untranslated->applicationDidFinishLaunching();
    EXPECT_EQ(untranslated->window()->windowTitle(), QStringLiteral("app.title"));
    EXPECT_EQ(untranslated->statusTitleLabel()->stringValue(), QStringLiteral("status.checking.title"));
    EXPECT_EQ(untranslated->badgeLabel()->stringValue(), QStringLiteral("  badge.checking  "));
}

TEST_F(StatusWindow, TheWindowPaintsEveryState) {
    const QImage checking = delegate->window()->grab().toImage();
    answer(ModuleList{{brindleIdentifier, true}});
    const QImage enabled = delegate->window()->grab().toImage();
    EXPECT_EQ(checking.size(), QSize(840, 640));
    EXPECT_NE(checking, enabled);
    // The instructions card is gone: its area shows the window's background.
    EXPECT_EQ(enabled.pixel(420, 460), calibratedColor(0.93, 0.91, 0.87, 1).rgb());
    EXPECT_NE(checking.pixel(420, 460), enabled.pixel(420, 460));
}

} // namespace
} // namespace orvel::testing
