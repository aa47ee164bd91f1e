#include "FuseAccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvel {

namespace {

bool isSetUserIdRootHelper(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat status {};
    return ::stat(name.constData(), &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & S_ISUID) &&
           status.st_uid == 0 && ::access(name.constData(), X_OK) == 0;
}

} // namespace

bool deviceOpensReadWrite(const QString& devicePath) {
    // O_NONBLOCK: a path that is a FIFO or a stalled device must not hang the query.
    const int fd = ::open(QFile::encodeName(devicePath).constData(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

bool FuseAccess::isRootUser() { return ::geteuid() == 0; }

std::optional<DisabledReason> FuseAccess::failedCheck() const {
    if (!QFileInfo::exists(devicePath)) {
        return DisabledReason{DisabledReason::Check::deviceMissing, devicePath};
    }
    if (!deviceOpens(devicePath)) {
        return DisabledReason{DisabledReason::Check::deviceRefused, devicePath};
    }
    if (userIsRoot) {
        return std::nullopt;
    }
    std::optional<QString> installedHelper;
    for (const QString& path : fusermountPaths) {
        if (isSetUserIdRootHelper(path)) {
            return std::nullopt;
        }
        if (!installedHelper && QFileInfo::exists(path)) {
            installedHelper = path;
        }
    }
    if (installedHelper) {
        return DisabledReason{DisabledReason::Check::mountHelperNotSetUserIdRoot, *installedHelper};
    }
    return DisabledReason{DisabledReason::Check::mountHelperMissing, QString()};
}

bool isRunnableExecutable(const QString& path) {
    if (!QDir::isAbsolutePath(path)) {
        return false;
    }
    const QByteArray name = QFile::encodeName(path);
    struct stat status {};
    return ::stat(name.constData(), &status) == 0 && S_ISREG(status.st_mode) && ::access(name.constData(), X_OK) == 0;
}

} // namespace orvel
