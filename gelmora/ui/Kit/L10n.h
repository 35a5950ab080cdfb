#pragma once
// Localised texts. The tables are JSON objects of key -> text in the resources
// (:/i18n/en.json, :/i18n/zh-Hans.json); a key without a text stands as itself.
#include <QString>
#include <map>
#include <string>
#include <string_view>

namespace gelmora::ui::L10n {

// The table that serves a service language code: "zh-Hans" for any Chinese code, else "en".
std::string tableNameForLanguage(std::string_view languageCode);
// Reads one table from the resources; keys whose value is not a text are left out. Empty when the
// table is missing or is not a JSON object.
std::map<std::string, std::string, std::less<>> readTable(std::string_view tableName);
// Installs the table for `languageCode` with gelmora::setLocalizationTable: the English table,
// overlaid by the language's own.
void installTable(std::string_view languageCode);

// The text of `key` in the installed table, or the key itself.
QString text(std::string_view key);

}  // namespace gelmora::ui::L10n
