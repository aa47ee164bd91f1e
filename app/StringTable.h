#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

namespace orvel {

// The program's texts by key, from a JSON object of key-to-text pairs shipped beside it.
class StringTable {
public:
    StringTable() = default;
    explicit StringTable(QHash<QString, QString> texts);

    // An unreadable or malformed table gives an empty one: every key then shows itself.
    static StringTable load(const QString& path);
    // The first table of the folder that matches one of the languages ("de-CH", then "de"),
    // else the English one.
    static StringTable loadForLanguages(const QString& folder, const QStringList& uiLanguages);

    // A key without a text shows the key itself.
    QString localizedString(const QString& key) const;

private:
    QHash<QString, QString> texts_;
};

} // namespace orvel
