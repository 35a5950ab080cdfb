// The shared dial-code list: the resource ":/Codes.json" and the country of the system locale.
// Apart from the Qt-free loader so that the fuzz target builds without Qt.
#include <QFile>
#include <QLocale>

#include "ui/Sections/Login/TsCountryCodeProvider.h"

TsCountryCodeProvider& TsCountryCodeProvider::sharedInstance() {
  static TsCountryCodeProvider* shared = [] {
    QFile file(QStringLiteral(":/Codes.json"));
    QByteArray text;
    if (file.open(QIODevice::ReadOnly)) text = file.readAll();
    const QString country = QLocale::territoryToCode(QLocale::system().territory());
    return new TsCountryCodeProvider(std::string_view(text.constData(), size_t(text.size())),
                                     country.toStdString());
  }();
  return *shared;
}
