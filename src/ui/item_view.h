// CItemView: one recovered item, read-only, in a window of its own: its header (from, to, cc,
// subject, date, class), its body as text, its recipients, and its attachments, each of which
// can be saved with Save As. Nothing here writes to the output store.
#pragma once

#include <QDialog>

#include "ui/stored_item.h"

class QPlainTextEdit;
class QPushButton;
class QTreeWidget;

namespace pstorian {

class UserDialogs;

class CItemView final : public QDialog {
  Q_OBJECT

 public:
  CItemView(StoredItem item, UserDialogs& dialogs, QWidget* parent = nullptr);

  const StoredItem& item() const { return item_; }
  // Asks where to save attachment `index` and writes it there; false when cancelled or
  // failed (a failure is told to the user).
  bool save_attachment(int index);

 private:
  StoredItem item_;
  UserDialogs& dialogs_;
  QTreeWidget* recipients_ = nullptr;
  QTreeWidget* attachments_ = nullptr;
  QPushButton* save_button_ = nullptr;
};

}  // namespace pstorian
