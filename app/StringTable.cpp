#include "StringTable.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace orvel {

namespace {
// Far above any real table; guards against reading something that is not one.
constexpr qint64 tableSizeLimit = 1024 * 1024;
} // namespace

StringTable::StringTable(QHash<QString, QString> texts) : texts_(std::move(texts)) {}

StringTable StringTable::load(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray contents = file.read(tableSizeLimit + 1);
    if (contents.size() > tableSizeLimit) {
        return {};
    }
    const QJsonDocument document = QJsonDocument::fromJson(contents);
    if (!document.isObject()) {
        return {};
    }
    QHash<QString, QString> texts;
    const QJsonObject object = document.object();
    for (auto entry = object.begin(); entry != object.end(); ++entry) {
        if (entry.value().isString()) {
            texts.insert(entry.key(), entry.value().toString());
        }
    }
    return StringTable(std::move(texts));
}

StringTable StringTable::loadForLanguages(const QString& folder, const QStringList& uiLanguages) {
    const QDir dir(folder);
    QStringList candidates;
    for (QString language : uiLanguages) {
        language.replace(QLatin1Char('_'), QLatin1Char('-'));
        candidates.append(language);
        candidates.append(language.section(QLatin1Char('-'), 0, 0));
    }
    candidates.append(QStringLiteral("en"));
    for (const QString& language : candidates) {
        const QString path = dir.filePath(language + QStringLiteral(".json"));
        if (!language.isEmpty() && QFile::exists(path)) {
            return load(path);
        }
    }
    return {};
}

QString StringTable::localizedString(const QString& key) const { return texts_.value(key, key); }

} // namespace orvel
