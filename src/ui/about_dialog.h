// CAboutDialog: the banner, what Pstorian is, and three links (sales mail, support mail, web
// page) drawn underlined in blue, purple once visited, with a pointing hand over them.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QUrl>
#include <array>

namespace pstorian {

class UserDialogs;

class CAboutDialog final : public QDialog {
  Q_OBJECT

 public:
  enum Link { kSales = 0, kSupport = 1, kWeb = 2 };

  CAboutDialog(UserDialogs& dialogs, QWidget* parent = nullptr);

  void open_link(Link link);
  bool visited(Link link) const { return visited_[static_cast<std::size_t>(link)]; }
  QLabel* link_label(Link link) const { return links_[static_cast<std::size_t>(link)]; }

  static QUrl link_url(Link link);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void colour_link(Link link);

  UserDialogs& dialogs_;
  std::array<QLabel*, 3> links_{};
  std::array<bool, 3> visited_{};
};

}  // namespace pstorian
