#pragma once

#include <QStringList>

namespace orvel {

// The system's module folders, then the user's, in the order the platform lists them. The home
// folder comes from the password database.
QStringList platformModuleFolders();

} // namespace orvel
