#include "StringTable.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace orvel {
namespace {

void write(const QString& path, const QByteArray& contents) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(contents);
}

TEST(StringTable, LooksUpTextsAndShowsTheKeyOfAMissingOne) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("en.json"));
    write(path, R"({"app.title": "Orvel", "number": 3})");
    const StringTable table = StringTable::load(path);
    EXPECT_EQ(table.localizedString(QStringLiteral("app.title")), QStringLiteral("Orvel"));
    EXPECT_EQ(table.localizedString(QStringLiteral("number")), QStringLiteral("number"));
    EXPECT_EQ(table.localizedString(QStringLiteral("app.subtitle")), QStringLiteral("app.subtitle"));
}

TEST(StringTable, AnUnusableTableShowsEveryKey) {
    QTemporaryDir folder;
    const QString malformed = folder.filePath(QStringLiteral("malformed.json"));
    write(malformed, R"({"app.title": )");
    const QString array = folder.filePath(QStringLiteral("array.json"));
    write(array, R"(["app.title"])");
    for (const QString& path : {malformed, array, folder.filePath(QStringLiteral("absent.json")), folder.path()}) {
        EXPECT_EQ(StringTable::load(path).localizedString(QStringLiteral("app.title")), QStringLiteral("app.title"));
    }
}

TEST(StringTable, PicksTheFirstTableOfThePreferredLanguagesElseEnglish) {
    QTemporaryDir folder;
    write(folder.filePath(QStringLiteral("en.json")), R"({"k": "english"})");
    write(folder.filePath(QStringLiteral("de.json")), R"({"k": "deutsch"})");
    write(folder.filePath(QStringLiteral("fr-CA.json")), R"({"k": "québécois"})");
    const auto textFor = [&](const QStringList& languages) {
        return StringTable::loadForLanguages(folder.path(), languages).localizedString(QStringLiteral("k"));
    };
    EXPECT_EQ(textFor({QStringLiteral("de-CH")}), QStringLiteral("deutsch"));
    EXPECT_EQ(textFor({QStringLiteral("fr_CA")}), QStringLiteral("québécois"));
    EXPECT_EQ(textFor({QStringLiteral("it-IT"), QStringLiteral("de")}), QStringLiteral("deutsch"));
    EXPECT_EQ(textFor({QStringLiteral("ja")}), QStringLiteral("english"));
    EXPECT_EQ(textFor({}), QStringLiteral("english"));
}

TEST(StringTable, TheShippedEnglishTableHasEveryKeyTheProgramShows) {
    const StringTable table = StringTable::load(QStringLiteral(ORVEL_STRINGS_TABLE));
    const char* keys[] = {
        "app.title", "app.subtitle", "button.open_settings", "button.open_settings.tooltip",
        "status.checking.title", "status.checking.body", "status.checking.instructions", "instructions.title.standby",
        "badge.checking", "status.error.title", "status.error.body", "status.error.instructions",
        "instructions.title.missing", "instructions.title.error", "badge.error", "status.disabled.title",
        "status.disabled.body", "status.disabled.instructions", "instructions.title.disabled",
        "status.enabled.title", "status.enabled.body", "status.error.reason", "settings_page.not_opened",
        "settings_page.missing", "button.check_again", "button.check_again.tooltip",
    };
    for (const char* key : keys) {
        const QString text = table.localizedString(QString::fromLatin1(key));
        EXPECT_NE(text, QString::fromLatin1(key)) << key;
        EXPECT_FALSE(text.isEmpty()) << key;
    }
}

} // namespace
} // namespace orvel
