#pragma once

#include "FuseAccess.h"
#include "InstalledModuleSource.h"

#include <QStringList>
#include <QThreadPool>

namespace orvel {

// Lists the modules whose manifests lie in the module folders, reading them off the caller's thread.
class ManifestFolderSource final : public InstalledModuleSource {
public:
    ManifestFolderSource(QStringList folders, FuseAccess fuse);
    // Waits for a query still reading, so that none outlives the source.
    ~ManifestFolderSource() override;

    void fetchInstalledExtensionsWithCompletionHandler(InstalledExtensionsHandler completionHandler) override;

private:
    QStringList folders_;
    FuseAccess fuse_;
    QThreadPool readers_;
};

} // namespace orvel
