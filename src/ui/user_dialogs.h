// Every message box, file chooser, folder chooser and shell request of the desktop program
// goes through this one small interface, so that tests can answer them and nothing else in
// the windows needs to know how they are shown.
#pragma once

#include <QString>
#include <QUrl>

class QWidget;

namespace pstorian {

enum class MessageIcon { Information, Warning, Error };

inline const QString kAppTitle = QStringLiteral("Pstorian");

class UserDialogs {
 public:
  virtual ~UserDialogs() = default;
  // A Yes/No question with the question icon; true for Yes.
  virtual bool ask_yes_no(QWidget* parent, const QString& text,
                          const QString& caption = kAppTitle) = 0;
  // A message with an OK button.
  virtual void show_message(QWidget* parent, const QString& text, const QString& caption,
                            MessageIcon icon) = 0;
  // The source file to repair ("PST Files (*.PST)", any letter case); empty when cancelled.
  virtual QString choose_source_file(QWidget* parent) = 0;
  // A folder for the output; empty when cancelled.
  virtual QString choose_folder(QWidget* parent, const QString& title) = 0;
  // Opens a document, page or mail link with the desktop; false when that failed.
  virtual bool open_url(const QUrl& url) = 0;
};

// The real thing: QMessageBox, QFileDialog and QDesktopServices.
class QtUserDialogs final : public UserDialogs {
 public:
  bool ask_yes_no(QWidget* parent, const QString& text, const QString& caption) override;
  void show_message(QWidget* parent, const QString& text, const QString& caption,
                    MessageIcon icon) override;
  QString choose_source_file(QWidget* parent) override;
  QString choose_folder(QWidget* parent, const QString& title) override;
  bool open_url(const QUrl& url) override;
};

}  // namespace pstorian
