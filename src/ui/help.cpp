#include "ui/help.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QUrl>

#include "ui/user_dialogs.h"

namespace pstorian {

QString installation_folder() {
  // The native format: on Linux /etc/xdg/Corvane/Pstorian.conf, as the README and the
  // help page tell administrators.
  const QSettings settings(QSettings::NativeFormat, QSettings::SystemScope,
                           QStringLiteral("Corvane"), QStringLiteral("Pstorian"));
  const QString path = settings.value(QStringLiteral("Path")).toString();
  if (!path.isEmpty()) return path;
  // Installed under another prefix than the one built for (cmake --install --prefix): the
  // data folder beside the program's own bin folder.
  const QString beside = QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                         QStringLiteral("/../" PSTORIAN_RELATIVE_DATA_DIR));
  if (QFileInfo::exists(beside + QStringLiteral("/help/index.html"))) return beside;
  return QStringLiteral(PSTORIAN_DATA_DIR);
}

QString help_file_path() {
  return QDir::cleanPath(installation_folder() + QStringLiteral("/help/index.html"));
}

void open_help(UserDialogs& dialogs) { dialogs.open_url(QUrl::fromLocalFile(help_file_path())); }

}  // namespace pstorian
