#include "FskitAppExtensionMonitor.h"

#include "ModuleFolders.h"

#include <QCoreApplication>
#include <QDir>
#include <QtConcurrent/QtConcurrentRun>

namespace orvel {

namespace {

std::optional<QStringList> existingModuleFolders() {
    QStringList folders;
    for (const QString& folder : platformModuleFolders()) {
        if (QDir(folder).exists()) {
            folders.append(folder);
        }
    }
    if (folders.isEmpty()) {
        return std::nullopt;
    }
    return folders;
}

} // namespace

std::shared_ptr<FskitAppExtensionMonitor> FskitAppExtensionMonitor::shared() {
    static const std::shared_ptr<FskitAppExtensionMonitor> instance = create(existingModuleFolders);
    return instance;
}

std::shared_ptr<FskitAppExtensionMonitor> FskitAppExtensionMonitor::create(ExtensionPointFactory makeExtensionPoint) {
    return std::shared_ptr<FskitAppExtensionMonitor>(new FskitAppExtensionMonitor(std::move(makeExtensionPoint)));
}

FskitAppExtensionMonitor::FskitAppExtensionMonitor(ExtensionPointFactory makeExtensionPoint)
    : makeExtensionPoint_(std::move(makeExtensionPoint)) {}

void FskitAppExtensionMonitor::start() {
    if (monitorTask) {
        return;
    }
    monitorTask = QtConcurrent::run([owner = weak_from_this()] {
        const auto self = owner.lock();
        if (!self) {
            return;
        }
        storeMonitor(owner, self->makeExtensionPoint_());
    });
}

void FskitAppExtensionMonitor::storeMonitor(const std::weak_ptr<FskitAppExtensionMonitor>& owner,
                                            std::optional<QStringList> extensionPoint) {
    // The watcher belongs to the main thread and lives as long as the application.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [owner, extensionPoint = std::move(extensionPoint)] {
            const auto self = owner.lock();
            if (!self) {
                return;
            }
            self->monitor = nullptr;
            if (!extensionPoint) {
                return;
            }
            auto watcher = std::make_unique<QFileSystemWatcher>();
            if (watcher->addPaths(*extensionPoint).size() == extensionPoint->size()) {
                return;
            }
            watcher->setParent(QCoreApplication::instance());
            self->monitor = watcher.release();
        },
        Qt::QueuedConnection);
}

} // namespace orvel
