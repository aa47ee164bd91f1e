#pragma once

#include <QFileSystemWatcher>
#include <QFuture>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace orvel {

// Keeps a watch on the module folders for the life of the application, as the platform's
// extension-point monitor would be kept. Nothing reads the watch.
class FskitAppExtensionMonitor final : public std::enable_shared_from_this<FskitAppExtensionMonitor> {
public:
    // The folders that make up the extension point; none when the point cannot be made.
    using ExtensionPointFactory = std::function<std::optional<QStringList>()>;

    static std::shared_ptr<FskitAppExtensionMonitor> shared();
    static std::shared_ptr<FskitAppExtensionMonitor> create(ExtensionPointFactory makeExtensionPoint);

    // Starts the task that creates the monitor, once.
    void start();

private:
    explicit FskitAppExtensionMonitor(ExtensionPointFactory makeExtensionPoint);

    static void storeMonitor(const std::weak_ptr<FskitAppExtensionMonitor>& owner,
                             std::optional<QStringList> extensionPoint);

    ExtensionPointFactory makeExtensionPoint_;
    QPointer<QFileSystemWatcher> monitor;
    std::optional<QFuture<void>> monitorTask;
};

} // namespace orvel
