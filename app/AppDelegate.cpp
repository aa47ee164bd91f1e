#include "AppDelegate.h"

#include "FskitAppExtensionMonitor.h"
#include "Spinner.h"
#include "TextLabel.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPointer>
#include <QSessionManager>

#include <algorithm>
#include <map>

namespace orvel {

namespace {
const QString moduleBundleIdentifier = QStringLiteral("org.orvel.brindle.module");
constexpr int statusCheckIntervalMilliseconds = 5000;
} // namespace

AppDelegate::AppDelegate(QGuiApplication& application, AppServices services) : services_(std::move(services)) {
    application.setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    connect(&application, &QCoreApplication::aboutToQuit, this, &AppDelegate::applicationWillTerminate);
    connect(&application, &QGuiApplication::saveStateRequest, this, [this](QSessionManager& manager) {
        if (!applicationShouldSaveApplicationState()) {
            manager.setRestartHint(QSessionManager::RestartNever);
        }
    });
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    FskitAppExtensionMonitor::shared()->start();

    buildWindow();
    placeWindowOnScreen();
    window_->show();
    placeWindowOnScreen();
    window_->raise();
    window_->activateWindow();

    transitionToState(StatusState::checking, localized("status.checking.title"), localized("status.checking.body"),
                      localized("status.checking.instructions"));
    refreshModuleStatus();

    statusTimer_ = std::make_unique<QTimer>();
    statusTimer_->setInterval(statusCheckIntervalMilliseconds);
    connect(statusTimer_.get(), &QTimer::timeout, this, &AppDelegate::refreshModuleStatus);
    statusTimer_->start();
}

void AppDelegate::applicationWillTerminate() { statusTimer_.reset(); }

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() const { return false; }

bool AppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
    if (hasVisibleWindows || !window_) {
        return true;
    }
    window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    window_->show();
    window_->raise();
    window_->activateWindow();
    return true;
}

bool AppDelegate::applicationShouldSaveApplicationState() const { return false; }

void AppDelegate::refreshModuleStatus() {
    if (refreshInFlight_) {
        return;
    }
    refreshInFlight_ = true;
    progressIndicator_->startAnimation();
    // The answer may come on any thread: it is handed to the main thread, where the delegate may
    // already be gone.
    services_.installedModules->fetchInstalledExtensionsWithCompletionHandler(
        [delegate = QPointer<AppDelegate>(this), mainThread = QCoreApplication::instance()](
            std::optional<ModuleList> modules, std::optional<ModuleQueryError> error) {
            QMetaObject::invokeMethod(
                mainThread,
                [delegate, modules = std::move(modules), error = std::move(error)] {
                    if (!delegate) {
                        return;
                    }
                    delegate->refreshInFlight_ = false;
                    delegate->progressIndicator_->stopAnimation();
                    delegate->updateUIWithModules(modules, error);
                },
                Qt::QueuedConnection);
        });
}

void AppDelegate::updateUIWithModules(const std::optional<ModuleList>& modules,
                                      const std::optional<ModuleQueryError>& error) {
    if (error) {
        // What could not be read leads the instructions, so that the user knows where to look.
        const QString instructions = error->message.isEmpty()
                                         ? localized("status.error.instructions")
                                         : localized("status.error.reason").arg(error->message) + QLatin1Char('\n') +
                                               localized("status.error.instructions");
        transitionToState(StatusState::error, localized("status.error.title"), localized("status.error.body"),
                          instructions);
        return;
    }
    const std::optional<ModuleIdentity> module = fskitModuleInModules(modules.value_or(ModuleList{}));
    if (!module) {
        transitionToState(StatusState::missing, localized("status.error.title"), localized("status.error.body"),
                          localized("status.error.instructions"));
    } else if (module->isEnabled) {
        transitionToState(StatusState::enabled, localized("status.enabled.title"), localized("status.enabled.body"),
                          QString());
    } else {
        // The failed check and what to do about it lead, where the listing tells which it is.
        const QString instructions = module->disabledReason
                                         ? disabledReasonText(*module->disabledReason) + QLatin1Char('\n') +
                                               localized("status.disabled.instructions")
                                         : localized("status.disabled.instructions");
        transitionToState(StatusState::disabled, localized("status.disabled.title"),
                          localized("status.disabled.body"), instructions);
    }
}

std::optional<ModuleIdentity> AppDelegate::fskitModuleInModules(const ModuleList& modules) const {
    const auto found = std::find_if(modules.begin(), modules.end(), [](const ModuleIdentity& module) {
        return module.bundleIdentifier == moduleBundleIdentifier;
    });
    if (found == modules.end()) {
        return std::nullopt;
    }
    return *found;
}

void AppDelegate::openSettings() {
    const std::optional<QUrl> url = settingsPaneURL();
    if (url && services_.openURL(*url)) {
        settingsPageNoteLabel_->setStringValue(QString());
        settingsPageNoteLabel_->setHidden(true);
        return;
    }
    const char* note = url ? "settings_page.not_opened" : "settings_page.missing";
    settingsPageNoteLabel_->setStringValue(localized(note).arg(services_.settingsPagePath));
    settingsPageNoteLabel_->setHidden(false);
}

std::optional<QUrl> AppDelegate::settingsPaneURL() const {
    const QFileInfo page(services_.settingsPagePath);
    if (!page.isFile()) {
        return std::nullopt;
    }
    return QUrl::fromLocalFile(page.absoluteFilePath());
}

QString AppDelegate::localized(const char* key) const {
    return services_.strings.localizedString(QString::fromLatin1(key));
}

QString AppDelegate::disabledReasonText(const DisabledReason& reason) const {
    using Check = DisabledReason::Check;
    static const std::map<Check, const char*> keys = {
        {Check::programNotNamed, "status.disabled.reason.program_not_named"},
        {Check::programNotRunnable, "status.disabled.reason.program_not_runnable"},
        {Check::deviceMissing, "status.disabled.reason.device_missing"},
        {Check::deviceRefused, "status.disabled.reason.device_refused"},
        {Check::mountHelperMissing, "status.disabled.reason.mount_helper_missing"},
        {Check::mountHelperNotSetUserIdRoot, "status.disabled.reason.mount_helper_not_set_user_id_root"},
    };
    const QString text = localized(keys.at(reason.check));
    return text.contains(QLatin1String("%1")) ? text.arg(reason.path) : text;
}

} // namespace orvel
