#include "AppDelegate.h"

#include "LayerView.h"
#include "SymbolButton.h"
#include "TextLabel.h"

#include <QFontMetricsF>

#include <cmath>

namespace orvel {

namespace {

// Low enough for a 1280 x 800 screen at 150 % (533 points) with a title bar and a panel.
constexpr int compactHeight = 460;
constexpr int heroHeight = 64;
constexpr int instructionsHeight = 212;
constexpr int gap = 12;
constexpr int titleSubtitleSpacing = 14;

} // namespace

// Only the vertical room shrinks: the cards keep their width and the status card its contents.
void AppDelegate::useCompactLayout() {
    canvas_->setFixedSize(canvas_->width(), compactHeight);
    setViewFrame(heroPanel_, {24, compactHeight - gap - heroHeight, 792, heroHeight});
    setViewFrame(statusPanel_, {24, compactHeight - 2 * gap - heroHeight - 136, 792, 136});
    setViewFrame(instructionsPanel_, {24, gap, 792, instructionsHeight});

    // The subtitle moves beside the title, on its baseline.
    const double titleWidth = std::ceil(QFontMetricsF(titleLabel_->font()).horizontalAdvance(titleLabel_->stringValue()));
    const double titleTop = (heroHeight - 52) / 2.0;
    setViewFrame(titleLabel_, {24, heroHeight - titleTop - 52, titleWidth, 52});
    const double subtitleTop =
        titleTop + QFontMetricsF(titleLabel_->font()).ascent() - QFontMetricsF(subtitleLabel_->font()).ascent();
    const double subtitleX = 24 + titleWidth + titleSubtitleSpacing;
    setViewFrame(subtitleLabel_, {subtitleX, std::round(heroHeight - subtitleTop - 22), 792 - 24 - subtitleX, 22});

    setViewFrame(instructionsTitleLabel_, {24, instructionsHeight - 38, 280, 24});
    setViewFrame(instructionsBodyLabel_, {24, 64, 744, instructionsHeight - 112});
    for (SymbolButton* button : {openSettingsButton_, checkAgainButton_}) {
        setViewFrame(button, {24, 14, 198, 40});
    }
    setViewFrame(settingsPageNoteLabel_, {238, 12, 530, 44});
}

} // namespace orvel
