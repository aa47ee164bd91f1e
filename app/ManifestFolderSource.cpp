#include "ManifestFolderSource.h"

#include "ModuleManifestScanner.h"

namespace orvel {

ManifestFolderSource::ManifestFolderSource(QStringList folders, FuseAccess fuse)
    : folders_(std::move(folders)), fuse_(std::move(fuse)) {
    readers_.setMaxThreadCount(1);
}

ManifestFolderSource::~ManifestFolderSource() { readers_.waitForDone(); }

void ManifestFolderSource::fetchInstalledExtensionsWithCompletionHandler(InstalledExtensionsHandler completionHandler) {
    readers_.start([folders = folders_, fuse = fuse_, completionHandler = std::move(completionHandler)] {
        auto listing = scanModuleFolders(folders, fuse);
        if (auto* error = std::get_if<ModuleQueryError>(&listing)) {
            completionHandler(std::nullopt, *error);
        } else {
            completionHandler(std::get<ModuleList>(std::move(listing)), std::nullopt);
        }
    });
}

} // namespace orvel
