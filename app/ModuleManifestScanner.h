#pragma once

#include "FuseAccess.h"
#include "InstalledModuleSource.h"

#include <QStringList>

#include <variant>

namespace orvel {

// Reads the module manifests of the given folders, in folder order and each folder's files by
// name. A missing folder holds no modules; a folder or manifest that exists but cannot be read
// fails the whole listing; a file that is no manifest is skipped.
std::variant<ModuleList, ModuleQueryError> scanModuleFolders(const QStringList& folders, const FuseAccess& fuse);

} // namespace orvel
