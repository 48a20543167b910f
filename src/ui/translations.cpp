#include "ui/translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "ui/help.h"

namespace pstorian {

QString translations_folder() { return installation_folder() + QStringLiteral("/translations"); }

bool install_translations(QCoreApplication& app, const QLocale& locale, const QString& folder) {
  auto* qt = new QTranslator(&app);
  if (qt->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
               QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(qt);
  } else {
    delete qt;
  }
  auto* own = new QTranslator(&app);
  if (!own->load(locale, QStringLiteral("pstorian"), QStringLiteral("_"), folder)) {
    delete own;
    return false;
  }
  QCoreApplication::installTranslator(own);
  return true;
}

}  // namespace pstorian
