#include "AppDelegate.h"

#include "CalibratedColor.h"
#include "ImageView.h"
#include "LayerView.h"
#include "SymbolButton.h"
#include "TextLabel.h"

namespace orvel {

void AppDelegate::transitionToState(StatusState state, const QString& title, const QString& body,
                                    const QString& instructions) {
    statusTitleLabel_->setStringValue(title);
    statusBodyLabel_->setStringValue(body);
    instructionsPanel_->setHidden(state == StatusState::enabled);
    // The setup page tells how to install the module as well as how to switch it on; after a failed
    // listing, what helps is to list again once the folders are fixed.
    const bool opensSetupPage = state == StatusState::missing || state == StatusState::disabled;
    openSettingsButton_->setHidden(!opensSetupPage);
    openSettingsButton_->setEnabled(opensSetupPage);
    checkAgainButton_->setHidden(state != StatusState::error);
    checkAgainButton_->setEnabled(state == StatusState::error);
    settingsPageNoteLabel_->setHidden(!opensSetupPage || settingsPageNoteLabel_->stringValue().isEmpty());
    badgeLabel_->setHidden(false);

    switch (state) {
    case StatusState::checking:
        applyBadgeText(localized("badge.checking"), calibratedColor(0.36, 0.45, 0.43, 1), calibratedColor(0.36, 0.45, 0.43, 1),
                       QStringLiteral("ellipsis.circle.fill"));
        instructionsTitleLabel_->setStringValue(localized("instructions.title.standby"));
        break;
    case StatusState::missing:
        badgeLabel_->setHidden(true);
        statusIconView_->setLayerBackgroundColor(calibratedColor(0.71, 0.49, 0.22, 1));
        statusIconView_->setImage(SymbolImage::systemSymbolNamed(QStringLiteral("questionmark.folder.fill")));
        instructionsTitleLabel_->setStringValue(localized("instructions.title.missing"));
        break;
    case StatusState::disabled:
        badgeLabel_->setHidden(true);
        statusIconView_->setLayerBackgroundColor(calibratedColor(0.86, 0.57, 0.22, 1));
        statusIconView_->setImage(SymbolImage::systemSymbolNamed(QStringLiteral("switch.2")));
        instructionsTitleLabel_->setStringValue(localized("instructions.title.disabled"));
        break;
    case StatusState::enabled:
        badgeLabel_->setHidden(true);
        statusIconView_->setLayerBackgroundColor(calibratedColor(0.22, 0.58, 0.38, 1));
        statusIconView_->setImage(SymbolImage::systemSymbolNamed(QStringLiteral("checkmark.seal.fill")));
        instructionsTitleLabel_->setStringValue(QString());
        break;
    case StatusState::error:
        applyBadgeText(localized("badge.error"), calibratedColor(0.58, 0.2, 0.2, 1), calibratedColor(0.77, 0.27, 0.27, 1),
                       QStringLiteral("xmark.octagon.fill"));
        instructionsTitleLabel_->setStringValue(localized("instructions.title.error"));
        break;
    }

    updateStatusTextLayoutForBadgeHidden(badgeLabel_->isHidden());

    if (state == StatusState::disabled) {
        instructionsPanel_->setLayerBackgroundColor(calibratedColor(0.96, 0.93, 0.88, 0.95));
        instructionsPanel_->setLayerBorderColor(calibratedColor(0.87, 0.76, 0.56, 1));
        instructionsTitleLabel_->setTextColor(calibratedColor(0.37, 0.24, 0.11, 1));
        instructionsBodyLabel_->setTextColor(calibratedColor(0.4, 0.29, 0.17, 1));
    } else {
        instructionsPanel_->setLayerBackgroundColor(calibratedColor(0.99, 0.97, 0.94, 0.95));
        instructionsPanel_->setLayerBorderColor(calibratedColor(0.84, 0.79, 0.72, 1));
        instructionsTitleLabel_->setTextColor(calibratedColor(0.3, 0.33, 0.31, 1));
        instructionsBodyLabel_->setTextColor(calibratedColor(0.3, 0.33, 0.31, 1));
    }

    applyInstructionsText(instructions);
}

void AppDelegate::applyBadgeText(const QString& text, const QColor& badgeColor, const QColor& iconColor,
                                 const QString& symbolName) {
    badgeLabel_->setStringValue(QStringLiteral("  %1  ").arg(text));
    badgeLabel_->setLayerBackgroundColor(badgeColor);
    statusIconView_->setLayerBackgroundColor(iconColor);
    statusIconView_->setImage(SymbolImage::systemSymbolNamed(symbolName));
}

void AppDelegate::updateStatusTextLayoutForBadgeHidden(bool badgeHidden) {
    if (badgeHidden) {
        setViewFrame(statusTitleLabel_, {96, 70, 590, 30});
        setViewFrame(statusBodyLabel_, {96, 30, 620, 34});
    } else {
        setViewFrame(statusTitleLabel_, {96, 60, 590, 30});
        setViewFrame(statusBodyLabel_, {96, 22, 620, 34});
    }
}

void AppDelegate::applyInstructionsText(const QString& text) {
    const QColor current = instructionsBodyLabel_->textColor();
    instructionsBodyLabel_->setAttributedStringValue(AttributedString{
        .string = text,
        .font = instructionsBodyLabel_->font(),
        .foregroundColor = current.isValid() ? current : instructionsBodyLabel_->palette().color(QPalette::WindowText),
        .paragraphStyle = ParagraphStyle{.lineSpacing = 4, .paragraphSpacing = 10},
    });
}

} // namespace orvel
