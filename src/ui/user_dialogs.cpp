#include "ui/user_dialogs.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace pstorian {

QString source_file_filter() {
  return QtUserDialogs::tr("PST files (%1)")
      .arg(QStringLiteral("*.pst *.PST *.Pst *.pST *.pSt *.psT"));
}

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

bool QtUserDialogs::show_message_offering_folder(QWidget* parent, const QString& text,
                                                 const QString& caption) {
  QMessageBox box(QMessageBox::Information, caption, text, QMessageBox::Ok, parent);
  QPushButton* show = box.addButton(tr("Show &Folder"), QMessageBox::ActionRole);
  show->setObjectName(QStringLiteral("showFolderButton"));
  box.setDefaultButton(QMessageBox::Ok);
  box.exec();
  return box.clickedButton() == show;
}

QString QtUserDialogs::choose_source_file(QWidget* parent, const QString& start_folder) {
  QFileDialog dialog(parent, tr("Select PST file to repair"), start_folder);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setNameFilter(source_file_filter());
  // Qt's own chooser (where the desktop has none) matches patterns by exact case only when
  // told; the patterns name every accepted form, so no other file is offered.
  dialog.setFilter(dialog.filter() | QDir::CaseSensitive);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().constFirst();
}

QString QtUserDialogs::choose_folder(QWidget* parent, const QString& title,
                                     const QString& start_folder) {
  return QFileDialog::getExistingDirectory(parent, title, start_folder);
}

QString QtUserDialogs::choose_save_path(QWidget* parent, const QString& suggested_path) {
  return QFileDialog::getSaveFileName(parent, tr("Save Attachment As"), suggested_path);
}

bool QtUserDialogs::open_url(const QUrl& url) { return QDesktopServices::openUrl(url); }

}  // namespace pstorian
