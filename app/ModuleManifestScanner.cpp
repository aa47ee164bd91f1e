#include "ModuleManifestScanner.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace orvel {

namespace {

namespace fs = std::filesystem;

// Manifests are a few lines; anything larger is not one.
constexpr qint64 manifestSizeLimit = 64 * 1024;

struct Manifest {
    QString bundleIdentifier;
    QString executable;
};

QString describe(const fs::path& path, const std::error_code& error) {
    return QStringLiteral("%1: %2").arg(QFile::decodeName(path.c_str()), QString::fromStdString(error.message()));
}

// The folder's regular files (symbolic links followed), sorted by name; none when it does not exist.
std::variant<std::vector<fs::path>, ModuleQueryError> manifestFiles(const fs::path& folder) {
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    if (error == std::errc::no_such_file_or_directory) {
        return std::vector<fs::path>{};
    }
    if (error) {
        return ModuleQueryError{describe(folder, error)};
    }
    std::vector<fs::path> files;
    for (; entries != fs::directory_iterator(); entries.increment(error)) {
        std::error_code typeError;
        if (entries->is_regular_file(typeError)) {
            files.push_back(entries->path());
        }
    }
    if (error) {
        return ModuleQueryError{describe(folder, error)};
    }
    std::sort(files.begin(), files.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename().native() < b.filename().native(); });
    return files;
}

std::optional<Manifest> parseManifest(const QByteArray& contents) {
    const QJsonDocument document = QJsonDocument::fromJson(contents);
    if (!document.isObject()) {
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    const QJsonValue identifier = object.value(QStringLiteral("bundle_identifier"));
    if (!identifier.isString() || identifier.toString().isEmpty()) {
        return std::nullopt;
    }
    return Manifest{identifier.toString(), object.value(QStringLiteral("executable")).toString()};
}

} // namespace

std::variant<ModuleList, ModuleQueryError> scanModuleFolders(const QStringList& folders, const FuseAccess& fuse) {
    ModuleList modules;
    // Asked at most once per listing: every module shares the user's FUSE.
    bool fuseChecked = false;
    std::optional<DisabledReason> fuseReason;
    for (const QString& folder : folders) {
        auto files = manifestFiles(fs::path(QFile::encodeName(folder).toStdString()));
        if (auto* failure = std::get_if<ModuleQueryError>(&files)) {
            return *failure;
        }
        for (const fs::path& path : std::get<std::vector<fs::path>>(files)) {
            QFile file(QFile::decodeName(path.c_str()));
            if (!file.open(QIODevice::ReadOnly)) {
                return ModuleQueryError{QStringLiteral("%1: %2").arg(file.fileName(), file.errorString())};
            }
            const QByteArray contents = file.read(manifestSizeLimit + 1);
            if (contents.size() > manifestSizeLimit) {
                continue;
            }
            const std::optional<Manifest> manifest = parseManifest(contents);
            if (!manifest) {
                continue;
            }
            std::optional<DisabledReason> reason;
            if (manifest->executable.isEmpty()) {
                reason = DisabledReason{DisabledReason::Check::programNotNamed, QString()};
            } else if (!isRunnableExecutable(manifest->executable)) {
                reason = DisabledReason{DisabledReason::Check::programNotRunnable, manifest->executable};
            } else {
                if (!fuseChecked) {
                    fuseReason = fuse.failedCheck();
                    fuseChecked = true;
                }
                reason = fuseReason;
            }
            modules.append(ModuleIdentity{manifest->bundleIdentifier, !reason, reason});
        }
    }
    return modules;
}

} // namespace orvel
