// The program in the user's language: the translation of its own texts for the locale
// (pstorian_<language>.qm in the translations folder of the installed data, found like the
// help) and Qt's own for its standard dialogs, when they are installed. English needs none.
#pragma once

#include <QLocale>
#include <QString>

class QCoreApplication;

namespace pstorian {

// Where the program's translations are looked for.
QString translations_folder();

// Installs the translations for `locale` from `folder` into `app` (which owns them); true
// when the program's own was found.
bool install_translations(QCoreApplication& app, const QLocale& locale, const QString& folder);

}  // namespace pstorian
