#pragma once

#include "BottomLeftGeometry.h"
#include "InstalledModuleSource.h"
#include "StatusState.h"
#include "StringTable.h"

#include <QFont>
#include <QObject>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QGuiApplication;

namespace orvel {

class ImageView;
class LayerView;
class Spinner;
class SymbolButton;
class TextLabel;

// What the delegate takes from its surroundings.
struct AppServices {
    std::shared_ptr<InstalledModuleSource> installedModules;
    StringTable strings;
    // The page that tells how to install the module and switch it on.
    QString settingsPagePath;
    // False when no program could open the URL.
    std::function<bool(const QUrl&)> openURL;
};

// Runs the status window: checks every few seconds whether the module is installed and enabled,
// and renders the answer.
class AppDelegate final : public QObject {
    Q_OBJECT

public:
    AppDelegate(QGuiApplication& application, AppServices services);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    bool applicationShouldTerminateAfterLastWindowClosed() const;
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    bool applicationShouldSaveApplicationState() const;

    void refreshModuleStatus();
    void updateUIWithModules(const std::optional<ModuleList>& modules, const std::optional<ModuleQueryError>& error);
    std::optional<ModuleIdentity> fskitModuleInModules(const ModuleList& modules) const;
    void openSettings();
    void transitionToState(StatusState state, const QString& title, const QString& body, const QString& instructions);

    QWidget* window() const { return window_.get(); }
    LayerView* heroPanel() const { return heroPanel_; }
    LayerView* statusPanel() const { return statusPanel_; }
    LayerView* instructionsPanel() const { return instructionsPanel_; }
    ImageView* statusIconView() const { return statusIconView_; }
    TextLabel* titleLabel() const { return titleLabel_; }
    TextLabel* subtitleLabel() const { return subtitleLabel_; }
    TextLabel* badgeLabel() const { return badgeLabel_; }
    TextLabel* statusTitleLabel() const { return statusTitleLabel_; }
    TextLabel* statusBodyLabel() const { return statusBodyLabel_; }
    TextLabel* instructionsTitleLabel() const { return instructionsTitleLabel_; }
    TextLabel* instructionsBodyLabel() const { return instructionsBodyLabel_; }
    SymbolButton* openSettingsButton() const { return openSettingsButton_; }
    SymbolButton* checkAgainButton() const { return checkAgainButton_; }
    TextLabel* settingsPageNoteLabel() const { return settingsPageNoteLabel_; }
    Spinner* progressIndicator() const { return progressIndicator_; }
    QTimer* statusTimer() const { return statusTimer_.get(); }
    bool refreshInFlight() const { return refreshInFlight_; }

private:
    void buildWindow();
    void placeWindowOnScreen();
    void buildHeroPanel();
    void buildStatusPanel();
    void buildInstructionsPanel();
    // Where the screen is too low for the window, the cards close up and the hero card flattens.
    void useCompactLayout();
    LayerView* addCardToView(QWidget* view, const Frame& frame, const QColor& backgroundColor,
                             const QColor& borderColor, unsigned autoresizingMask);
    TextLabel* addLabelToView(QWidget* view, const Frame& frame, const QString& text, const QFont& font,
                              const QColor& color);
    SymbolButton* addPrimaryButtonToView(QWidget* view, const char* titleKey, const char* toolTipKey,
                                         const QString& symbolName, void (AppDelegate::*action)());
    void stylePrimaryButton(SymbolButton* button);

    void applyBadgeText(const QString& text, const QColor& badgeColor, const QColor& iconColor,
                        const QString& symbolName);
    void updateStatusTextLayoutForBadgeHidden(bool badgeHidden);
    void applyInstructionsText(const QString& text);

    std::optional<QUrl> settingsPaneURL() const;
    QString localized(const char* key) const;
    QString disabledReasonText(const DisabledReason& reason) const;

    AppServices services_;

    // The window owns every view below; the pointers only name them.
    std::unique_ptr<QWidget> window_;
    // The surface the cards lie on, inside the window's scroll area.
    QWidget* canvas_ = nullptr;
    LayerView* heroPanel_ = nullptr;
    LayerView* statusPanel_ = nullptr;
    LayerView* instructionsPanel_ = nullptr;
    ImageView* statusIconView_ = nullptr;
    TextLabel* titleLabel_ = nullptr;
    TextLabel* subtitleLabel_ = nullptr;
    TextLabel* badgeLabel_ = nullptr;
    TextLabel* statusTitleLabel_ = nullptr;
    TextLabel* statusBodyLabel_ = nullptr;
    TextLabel* instructionsTitleLabel_ = nullptr;
    TextLabel* instructionsBodyLabel_ = nullptr;
    SymbolButton* openSettingsButton_ = nullptr;
    // In the error state, in the open-settings button's place: the check, at once.
    SymbolButton* checkAgainButton_ = nullptr;
    // Beside the button: where the setup page is, once opening it has failed.
    TextLabel* settingsPageNoteLabel_ = nullptr;
    Spinner* progressIndicator_ = nullptr;
    std::unique_ptr<QTimer> statusTimer_;
    bool refreshInFlight_ = false;
};

} // namespace orvel
