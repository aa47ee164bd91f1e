#include "ModuleFolders.h"

#include <QFile>

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace orvel {

namespace {

QString homeFolderOfUser() {
    long bufferSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(bufferSize > 0 ? std::size_t(bufferSize) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir) {
        return {};
    }
    return QFile::decodeName(found->pw_dir);
}

} // namespace

QStringList platformModuleFolders() {
    QStringList folders = {QStringLiteral("/usr/share/fs-modules"), QStringLiteral("/usr/local/share/fs-modules")};
    const QString home = homeFolderOfUser();
    if (!home.isEmpty()) {
        folders.append(home + QStringLiteral("/.local/share/fs-modules"));
    }
    return folders;
}

} // namespace orvel
