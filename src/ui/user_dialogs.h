// Every message box, file chooser, folder chooser and shell request of the desktop program
// goes through this one small interface, so that tests can answer them and nothing else in
// the windows needs to know how they are shown.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QUrl>

class QWidget;

namespace pstorian {

enum class MessageIcon { Information, Warning, Error };

// The program's name, which no translation changes.
inline const QString kAppTitle = QStringLiteral("Pstorian");

// The file chooser's filter: exactly the names a repair accepts, the six letter-case forms
// of ".pst" (the native choosers of some desktops match patterns by exact case).
QString source_file_filter();

class UserDialogs {
 public:
  virtual ~UserDialogs() = default;
  // A Yes/No question with the question icon; true for Yes.
  virtual bool ask_yes_no(QWidget* parent, const QString& text,
                          const QString& caption = kAppTitle) = 0;
  // A message with an OK button.
  virtual void show_message(QWidget* parent, const QString& text, const QString& caption,
                            MessageIcon icon) = 0;
  // A message with OK and a button that shows the folder of a file just written; true when
  // that button was pressed.
  virtual bool show_message_offering_folder(QWidget* parent, const QString& text,
                                            const QString& caption) = 0;
  // The source file to repair (source_file_filter()), starting in `start_folder` when it is
  // not empty; empty when cancelled.
  virtual QString choose_source_file(QWidget* parent, const QString& start_folder) = 0;
  // A folder for the output, starting in `start_folder`; empty when cancelled.
  virtual QString choose_folder(QWidget* parent, const QString& title,
                                const QString& start_folder) = 0;
  // Where to save a file, suggesting `suggested_path`; empty when cancelled.
  virtual QString choose_save_path(QWidget* parent, const QString& suggested_path) = 0;
  // Opens a document, page, folder or mail link with the desktop; false when that failed.
  virtual bool open_url(const QUrl& url) = 0;
};

// The real thing: QMessageBox, QFileDialog (the desktop's own where it has one) and
// QDesktopServices.
class QtUserDialogs final : public UserDialogs {
  Q_DECLARE_TR_FUNCTIONS(pstorian::QtUserDialogs)

 public:
  bool ask_yes_no(QWidget* parent, const QString& text, const QString& caption) override;
  void show_message(QWidget* parent, const QString& text, const QString& caption,
                    MessageIcon icon) override;
  bool show_message_offering_folder(QWidget* parent, const QString& text,
                                    const QString& caption) override;
  QString choose_source_file(QWidget* parent, const QString& start_folder) override;
  QString choose_folder(QWidget* parent, const QString& title,
                        const QString& start_folder) override;
  QString choose_save_path(QWidget* parent, const QString& suggested_path) override;
  bool open_url(const QUrl& url) override;
};

}  // namespace pstorian
