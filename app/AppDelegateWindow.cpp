#include "AppDelegate.h"

#include "CalibratedColor.h"
#include "ImageView.h"
#include "LayerView.h"
#include "Spinner.h"
#include "SymbolButton.h"
#include "TextLabel.h"

#include <QApplication>
#include <QFontDatabase>
#include <QIcon>
#include <QKeySequence>
#include <QScrollArea>
#include <QScreen>
#include <QShortcut>
#include <QStyle>

#include <algorithm>

namespace orvel {

namespace {

// Sizes are points; one point is one device-independent pixel, as on the desktop the window was drawn for.
QFont systemFont(int pointSize, QFont::Weight weight) {
    QFont font = QApplication::font();
    font.setPixelSize(pointSize);
    font.setWeight(weight);
    return font;
}

QFont monospacedSystemFont(int pointSize, QFont::Weight weight) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(pointSize);
    font.setWeight(weight);
    return font;
}

const QSize windowContentSize(840, 640);

} // namespace

void AppDelegate::placeWindowOnScreen() {
    const QScreen* screen = window_->screen();
    if (!screen) {
        return;
    }
    const QRect available = screen->availableGeometry();
    // The platform knows the frame once the window is shown, and some window managers only later;
    // until then the style's title bar height stands in for it.
    const QRect outer = window_->frameGeometry();
    const QRect inner = window_->geometry();
    QMargins frame(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                   outer.bottom() - inner.bottom());
    if (frame.top() <= frame.bottom()) {
        frame.setTop(frame.bottom() + window_->style()->pixelMetric(QStyle::PM_TitleBarHeight));
    }
    const QSize room = available.size().shrunkBy(frame);
    if (room.height() < windowContentSize.height()) {
        useCompactLayout();
    }
    const QSize content = canvas_->size();
    // Lower still, the contents scroll. A scroll bar along one side takes room that the other side
    // makes up, where the screen has it.
    const int scrollBar = window_->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const bool scrollsVertically = content.height() > room.height();
    const bool scrollsHorizontally = content.width() + (scrollsVertically ? scrollBar : 0) > room.width();
    const QSize wanted(content.width() + (scrollsVertically ? scrollBar : 0),
                       content.height() + (scrollsHorizontally ? scrollBar : 0));
    window_->setFixedSize(wanted.boundedTo(room));
    QRect placed(QPoint(), window_->size().grownBy(frame));
    placed.moveCenter(available.center());
    // Never above or left of the screen, so that the title bar shows.
    placed.moveTopLeft(QPoint(std::max(placed.left(), available.left()), std::max(placed.top(), available.top())));
    window_->move(placed.topLeft());
}

void AppDelegate::buildWindow() {
    // The cards lie on a canvas of the content size inside a scroll area: on a screen smaller than
    // even the compact layout (see placeWindowOnScreen) the window shrinks and its contents scroll.
    auto window = std::make_unique<QScrollArea>();
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowMinimizeButtonHint);
    window->setFrameShape(QFrame::NoFrame);
    auto* canvas = new QWidget;
    canvas->setFixedSize(windowContentSize);
    window->setWidget(canvas);
    canvas_ = canvas;
    window_ = std::move(window);
    // Not resizable; closing only hides it, so it can be shown again.
    window_->setFixedSize(windowContentSize);
    window_->setWindowTitle(localized("app.title"));
    window_->setWindowIcon(QIcon(QStringLiteral(":/icons/orvel.svg")));
    QPalette background = window_->palette();
    background.setColor(QPalette::Window, calibratedColor(0.93, 0.91, 0.87, 1));
    for (QWidget* surface : {window_.get(), canvas}) {
        surface->setPalette(background);
        surface->setAutoFillBackground(true);
    }
    // The standard way to quit, as an application menu would offer it.
    new QShortcut(QKeySequence::Quit, window_.get(), QCoreApplication::instance(), &QCoreApplication::quit);

    heroPanel_ = addCardToView(canvas, {24, 488, 792, 128}, calibratedColor(0.18, 0.23, 0.22, 0.96),
                               calibratedColor(0.32, 0.39, 0.37, 1), flexibleWidth | flexibleBottomMargin);
    statusPanel_ = addCardToView(canvas, {24, 328, 792, 136}, calibratedColor(0.99, 0.97, 0.94, 0.95),
                                 calibratedColor(0.84, 0.79, 0.72, 1), flexibleWidth | flexibleBottomMargin);
    instructionsPanel_ = addCardToView(canvas, {24, 48, 792, 256}, calibratedColor(0.96, 0.93, 0.88, 0.95),
                                       calibratedColor(0.87, 0.76, 0.56, 1), flexibleWidth | flexibleTopMargin);
    buildHeroPanel();
    buildStatusPanel();
    buildInstructionsPanel();
}

void AppDelegate::buildHeroPanel() {
    titleLabel_ = addLabelToView(heroPanel_, {24, 58, 260, 52}, localized("app.title"), systemFont(42, QFont::Bold),
                                 calibratedColor(0.98, 0.97, 0.93, 1));
    subtitleLabel_ = addLabelToView(heroPanel_, {26, 30, 280, 22}, localized("app.subtitle"),
                                    systemFont(15, QFont::Medium), calibratedColor(0.8, 0.84, 0.82, 1));
}

void AppDelegate::buildStatusPanel() {
    statusIconView_ = new ImageView(statusPanel_);
    placeView(statusIconView_, {24, 43, 56, 56}, flexibleRightMargin | flexibleBottomMargin);
    statusIconView_->setSymbolPointSize(28);
    statusIconView_->setContentTintColor(Qt::white);
    statusIconView_->setLayer(Layer{.cornerRadius = 28, .masksToBounds = true});

    badgeLabel_ = addLabelToView(statusPanel_, {96, 94, 180, 22}, QString(), monospacedSystemFont(12, QFont::Bold),
                                 Qt::white);
    badgeLabel_->setAlignment(Qt::AlignCenter);
    badgeLabel_->setLayer(Layer{.cornerRadius = 10, .masksToBounds = true});

    statusTitleLabel_ = addLabelToView(statusPanel_, {96, 60, 590, 30}, QString(), systemFont(22, QFont::DemiBold),
                                       calibratedColor(0.17, 0.2, 0.18, 1));
    statusBodyLabel_ = addLabelToView(statusPanel_, {96, 22, 620, 34}, QString(), systemFont(14, QFont::Normal),
                                      calibratedColor(0.3, 0.33, 0.31, 1));

    progressIndicator_ = new Spinner(statusPanel_);
    placeView(progressIndicator_, {738, 94, 22, 22}, flexibleLeftMargin | flexibleBottomMargin);
}

void AppDelegate::buildInstructionsPanel() {
    instructionsTitleLabel_ = addLabelToView(instructionsPanel_, {24, 218, 280, 24}, QString(),
                                             systemFont(17, QFont::DemiBold), calibratedColor(0.37, 0.24, 0.11, 1));
    instructionsBodyLabel_ = addLabelToView(instructionsPanel_, {24, 70, 744, 126}, QString(),
                                            systemFont(14, QFont::Normal), calibratedColor(0.4, 0.29, 0.17, 1));

    openSettingsButton_ = addPrimaryButtonToView(instructionsPanel_, "button.open_settings",
                                                 "button.open_settings.tooltip", QStringLiteral("gearshape.fill"),
                                                 &AppDelegate::openSettings);
    checkAgainButton_ = addPrimaryButtonToView(instructionsPanel_, "button.check_again", "button.check_again.tooltip",
                                               QStringLiteral("arrow.clockwise"), &AppDelegate::refreshModuleStatus);
    checkAgainButton_->setHidden(true);

    settingsPageNoteLabel_ = addLabelToView(instructionsPanel_, {238, 20, 530, 44}, QString(),
                                            systemFont(13, QFont::Normal), calibratedColor(0.58, 0.2, 0.2, 1));
    settingsPageNoteLabel_->setHidden(true);
}

LayerView* AppDelegate::addCardToView(QWidget* view, const Frame& frame, const QColor& backgroundColor,
                                      const QColor& borderColor, unsigned autoresizingMask) {
    auto* card = new LayerView(view);
    placeView(card, frame, autoresizingMask);
    card->setLayer(Layer{.backgroundColor = backgroundColor, .borderColor = borderColor, .borderWidth = 1,
                         .cornerRadius = 24});
    applyLayerShadow(card, LayerShadow{.opacity = 0.12, .radius = 20, .offset = {0, -2}, .color = calibratedColor(0, 0, 0, 0.3)});
    return card;
}

TextLabel* AppDelegate::addLabelToView(QWidget* view, const Frame& frame, const QString& text, const QFont& font,
                                       const QColor& color) {
    auto* label = new TextLabel(view);
    placeView(label, frame, flexibleWidth | flexibleBottomMargin);
    label->setStringValue(text);
    label->setFont(font);
    label->setTextColor(color);
    return label;
}

SymbolButton* AppDelegate::addPrimaryButtonToView(QWidget* view, const char* titleKey, const char* toolTipKey,
                                                  const QString& symbolName, void (AppDelegate::*action)()) {
    auto* button = new SymbolButton(view);
    placeView(button, {24, 22, 198, 40}, flexibleRightMargin | flexibleBottomMargin);
    // Before the style: a new title replaces the button's shortcut with the title's mnemonic.
    button->setText(localized(titleKey));
    button->setImage(SymbolImage::systemSymbolNamed(symbolName));
    button->setToolTip(localized(toolTipKey));
    stylePrimaryButton(button);
    connect(button, &SymbolButton::clicked, this, action);
    return button;
}

void AppDelegate::stylePrimaryButton(SymbolButton* button) {
    button->setFont(systemFont(14, QFont::DemiBold));
    button->setLayer(Layer{.backgroundColor = calibratedColor(0.74, 0.39, 0.1, 1), .cornerRadius = 12, .masksToBounds = true});
    applyLayerShadow(button,
                     LayerShadow{.opacity = 0.16, .radius = 10, .offset = {0, -1}, .color = calibratedColor(0, 0, 0, 0.28)});
    button->setContentTintColor(Qt::white);
    button->setShortcut(QKeySequence(Qt::Key_Return));
}

} // namespace orvel
