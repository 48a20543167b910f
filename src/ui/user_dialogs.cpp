#include "ui/user_dialogs.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

namespace pstorian {

bool QtUserDialogs::ask_yes_no(QWidget* parent, const QString& text, const QString& caption) {
  return QMessageBox::question(parent, caption, text, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

void QtUserDialogs::show_message(QWidget* parent, const QString& text, const QString& caption,
                                 MessageIcon icon) {
  QMessageBox::Icon qt_icon = QMessageBox::Information;
  if (icon == MessageIcon::Warning) qt_icon = QMessageBox::Warning;
  if (icon == MessageIcon::Error) qt_icon = QMessageBox::Critical;
  QMessageBox box(qt_icon, caption, text, QMessageBox::Ok, parent);
  box.exec();
}

QString QtUserDialogs::choose_source_file(QWidget* parent) {
  // Qt's own dialog so that the filter matches every letter case of the extension; the
  // native choosers of some desktops match it exactly.
  QFileDialog dialog(parent);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setNameFilter(QStringLiteral("PST Files (*.PST)"));
  dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().constFirst();
}

QString QtUserDialogs::choose_folder(QWidget* parent, const QString& title) {
  return QFileDialog::getExistingDirectory(parent, title);
}

bool QtUserDialogs::open_url(const QUrl& url) { return QDesktopServices::openUrl(url); }

}  // namespace pstorian
