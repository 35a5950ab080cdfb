#include "ui/Kit/L10n.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include "gelmora/Core/Localization.h"
#include "gelmora/Core/Log.h"

namespace gelmora::ui::L10n {

std::string tableNameForLanguage(std::string_view languageCode) {
  std::string code(languageCode);
  for (auto& c : code) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (code == "zh" || code.rfind("zh-", 0) == 0 || code.rfind("zh_", 0) == 0) return "zh-Hans";
  return "en";
}

std::map<std::string, std::string, std::less<>> readTable(std::string_view tableName) {
  std::map<std::string, std::string, std::less<>> table;
  QFile file(
      QStringLiteral(":/i18n/%1.json").arg(QString::fromUtf8(tableName.data(), tableName.size())));
  if (!file.open(QIODevice::ReadOnly)) {
    gelmora::logLine("localisation table missing: " + std::string(tableName));
    return table;
  }
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
  if (error.error != QJsonParseError::NoError || !doc.isObject()) {
    gelmora::logLine("localisation table unreadable: " + std::string(tableName));
    return table;
  }
  const QJsonObject object = doc.object();
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (it.value().isString()) table[it.key().toStdString()] = it.value().toString().toStdString();
  }
  return table;
}

void installTable(std::string_view languageCode) {
  auto table = readTable("en");
  const std::string name = tableNameForLanguage(languageCode);
  if (name != "en") {
    for (auto& [key, value] : readTable(name)) table[key] = std::move(value);
  }
  gelmora::setLocalizationTable(std::move(table));
}

QString text(std::string_view key) { return QString::fromStdString(gelmora::localizedString(key)); }

}  // namespace gelmora::ui::L10n
