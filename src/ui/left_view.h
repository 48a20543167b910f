// CLeftView, the left pane of the main window: the tree of the folders that the export
// recreates. It is filled only through the main window's reporting calls: reset to a single
// "Root Folder", folders added under their placement with an icon by kind (and their own
// icons for the five well-known folders directly under the top of the personal folders),
// and a folder revealed while it is being filled. Only the user's own selections are
// reported: revealing a folder selects it without a report. Long names are shown whole; the
// tree scrolls sideways instead.
#pragma once

#include <QIcon>
#include <QTreeWidget>
#include <array>
#include <map>
#include <unordered_map>

#include "job/reporter.h"

namespace pstorian {

// The folder pictures, one per use.
enum class FolderIcon {
  Plain,
  Calendar,
  Note,
  Inbox,
  Journal,
  Contacts,
  Root,
  Task,
  Drafts,
  Deleted,
  Outbox,
  Sent
};

// Resource name of a folder picture (also kept on each tree item for inspection).
QString folder_icon_name(FolderIcon icon);

class CLeftView final : public QTreeWidget {
  Q_OBJECT

 public:
  // Item data role holding the item's TreeItemId, and the one holding its icon name.
  static constexpr int kIdRole = Qt::UserRole + 1;
  static constexpr int kIconRole = Qt::UserRole + 2;

  explicit CLeftView(QWidget* parent = nullptr);

  // Empties the tree and inserts "Root Folder"; returns the new root item.
  TreeItemId reset_tree();
  // Inserts the folder at the end of its parent's children and returns the new item. The
  // name is cut to 249 characters.
  TreeItemId add_folder(const FolderNodeRecord& folder, const FolderPlacement& placement);
  // Expands every ancestor of the item and selects it.
  void show_folder(TreeItemId item);

  QTreeWidgetItem* item_of(TreeItemId id) const;
  TreeItemId id_of(const QTreeWidgetItem* item) const;

 signals:
  // The user selected another folder.
  void folder_selected(pstorian::TreeItemId item);

 private:
  FolderIcon choose_icon(const FolderNodeRecord& folder, const FolderPlacement& placement);
  QTreeWidgetItem* new_item(const QString& text, FolderIcon icon);
  // Widens the column to the item's name at its depth, if that is wider than any before.
  // The column grows item by item: a header fitting itself to its contents measures many
  // rows again at every selection, which made filling a tree of thousands of folders take
  // minutes.
  void fit_column_to(QTreeWidgetItem* item);
  void changeEvent(QEvent* event) override;

  std::unordered_map<TreeItemId, QTreeWidgetItem*> items_;
  bool revealing_ = false;  // show_folder is selecting
  TreeItemId next_id_ = 1;
  int special_count_ = 0;
  // Inbox, Outbox, Sent Items, Deleted Items, Drafts: 1 until recognised since the reset.
  std::array<bool, 5> pending_{true, true, true, true, true};
  int widest_ = 0;  // the column's width: the widest item's since the reset
  std::map<QString, QIcon> icons_;  // by icon name
};

}  // namespace pstorian
