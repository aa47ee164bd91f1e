#pragma once

#include "InstalledModuleSource.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace orvel {

// Whether this process may open the device for reading and writing.
bool deviceOpensReadWrite(const QString& devicePath);

// Whether the user can really mount through FUSE, as libfuse goes about it: it opens the device as
// the user (a failure there ends the mount, whatever helper is installed), mounts directly when
// the user is root, and otherwise passes the device to fusermount3, which must be set-user-id root.
struct FuseAccess {
    QString devicePath = QStringLiteral("/dev/fuse");
    QStringList fusermountPaths = {QStringLiteral("/usr/bin/fusermount3"), QStringLiteral("/bin/fusermount3"),
                                   QStringLiteral("/usr/local/bin/fusermount3")};
    // Tests stand in here for the user's view of the device and for the user's identity.
    std::function<bool(const QString&)> deviceOpens = deviceOpensReadWrite;
    bool userIsRoot = isRootUser();

    // The first check that fails, in the order a mount meets them; none when the user can mount.
    std::optional<DisabledReason> failedCheck() const;

private:
    static bool isRootUser();
};

// A regular file, named by an absolute path, that the user may run.
bool isRunnableExecutable(const QString& path);

} // namespace orvel
