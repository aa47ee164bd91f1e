#pragma once

#include <QString>
#include <QStringList>

namespace orvel {

// Whether the user may serve a file system through FUSE: the device opens read-write, or a
// set-user-id fusermount3 owned by root is installed for the user to run.
struct FuseAccess {
    QString devicePath = QStringLiteral("/dev/fuse");
    QStringList fusermountPaths = {QStringLiteral("/usr/bin/fusermount3"), QStringLiteral("/bin/fusermount3"),
                                   QStringLiteral("/usr/local/bin/fusermount3")};

    bool isUsable() const;
};

// A regular file, named by an absolute path, that the user may run.
bool isRunnableExecutable(const QString& path);

} // namespace orvel
