#include "ui/left_view.h"

#include <QAbstractItemDelegate>
#include <QEvent>
#include <QHeaderView>
#include <QIcon>
#include <QStyleOptionViewItem>
#include <QTreeWidgetItemIterator>

namespace pstorian {

namespace {

struct WellKnownFolder {
  const char* name;
  FolderIcon icon;
};

// Tried in this order; each at most once per reset.
constexpr std::array<WellKnownFolder, 5> kWellKnown = {{{"Inbox", FolderIcon::Inbox},
                                                        {"Outbox", FolderIcon::Outbox},
                                                        {"Sent Items", FolderIcon::Sent},
                                                        {"Deleted Items", FolderIcon::Deleted},
                                                        {"Drafts", FolderIcon::Drafts}}};

// ItemKind codes of folder contents that have their own picture.
constexpr std::uint32_t kAppointment = 8, kContact = 9, kJournal = 10, kStickyNote = 11,
                        kTask = 12;

}  // namespace

QString folder_icon_name(FolderIcon icon) {
  switch (icon) {
    case FolderIcon::Plain: return QStringLiteral("folder");
    case FolderIcon::Calendar: return QStringLiteral("calendar");
    case FolderIcon::Note: return QStringLiteral("note");
    case FolderIcon::Inbox: return QStringLiteral("inbox");
    case FolderIcon::Journal: return QStringLiteral("journal");
    case FolderIcon::Contacts: return QStringLiteral("contacts");
    case FolderIcon::Root: return QStringLiteral("root");
    case FolderIcon::Task: return QStringLiteral("task");
    case FolderIcon::Drafts: return QStringLiteral("drafts");
    case FolderIcon::Deleted: return QStringLiteral("deleted");
    case FolderIcon::Outbox: return QStringLiteral("outbox");
    case FolderIcon::Sent: return QStringLiteral("sent");
  }
  return QStringLiteral("folder");
}

CLeftView::CLeftView(QWidget* parent) : QTreeWidget(parent) {
  setColumnCount(1);
  header()->hide();
  // The column is as wide as the longest name; a narrow pane scrolls rather than cutting.
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(0, QHeaderView::Fixed);
  setTextElideMode(Qt::ElideNone);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setRootIsDecorated(true);
  setIconSize(QSize(16, 16));
  setUniformRowHeights(true);
  setStyleSheet(QStringLiteral("QTreeView::item { height: 20px; }"));
  connect(this, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* current, QTreeWidgetItem*) {
            if (current != nullptr && !revealing_) emit folder_selected(id_of(current));
          });
}

QTreeWidgetItem* CLeftView::new_item(const QString& text, FolderIcon icon) {
  auto* item = new QTreeWidgetItem(QStringList{text});
  const QString icon_name = folder_icon_name(icon);
  // One picture shared by all the items that show it, not its file read again for each.
  QIcon& picture = icons_[icon_name];
  if (picture.isNull()) picture = QIcon(QStringLiteral(":/icons/folders/%1.svg").arg(icon_name));
  item->setIcon(0, picture);
  item->setData(0, kIconRole, icon_name);
  const TreeItemId id = next_id_++;
  item->setData(0, kIdRole, QVariant::fromValue<qulonglong>(id));
  items_.emplace(id, item);
  return item;
}

TreeItemId CLeftView::reset_tree() {
  revealing_ = true;  // emptying and refilling the tree is nobody's selection
  clear();
  items_.clear();
  special_count_ = 0;
  pending_.fill(true);
  widest_ = 0;
  QTreeWidgetItem* root = new_item(tr("Root Folder"), FolderIcon::Root);
  addTopLevelItem(root);
  fit_column_to(root);
  revealing_ = false;
  return id_of(root);
}

FolderIcon CLeftView::choose_icon(const FolderNodeRecord& folder,
                                  const FolderPlacement& placement) {
  // The kind decides first; names are tried only for mail and other folders.
  switch (folder.kind) {
    case kAppointment: return FolderIcon::Calendar;
    case kContact: return FolderIcon::Contacts;
    case kJournal: return FolderIcon::Journal;
    case kStickyNote: return FolderIcon::Note;
    case kTask: return FolderIcon::Task;
    default: break;
  }
  if (special_count_ >= 6 || placement.parent_node_id != placement.top_node_id) {
    return FolderIcon::Plain;
  }
  for (std::size_t i = 0; i < kWellKnown.size(); ++i) {
    if (pending_[i] && folder.name == kWellKnown[i].name) {  // exact, case-sensitive
      pending_[i] = false;
      ++special_count_;
      return kWellKnown[i].icon;
    }
  }
  return FolderIcon::Plain;
}

TreeItemId CLeftView::add_folder(const FolderNodeRecord& folder,
                                 const FolderPlacement& placement) {
  const QString name = QString::fromUtf8(folder.name).left(249);
  QTreeWidgetItem* item = new_item(name, choose_icon(folder, placement));
  if (QTreeWidgetItem* parent = item_of(placement.parent_tree_item)) {
    parent->addChild(item);
  } else {
    addTopLevelItem(item);
  }
  fit_column_to(item);
  return id_of(item);
}

void CLeftView::fit_column_to(QTreeWidgetItem* item) {
  // As the view measures an item for its column: the delegate's width, indented by depth.
  int depth = rootIsDecorated() ? 1 : 0;
  for (const QTreeWidgetItem* up = item->parent(); up != nullptr; up = up->parent()) ++depth;
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  const QModelIndex index = indexFromItem(item);
  const int width = itemDelegateForIndex(index)->sizeHint(option, index).width() +
                    indentation() * depth;
  if (width <= widest_) return;
  widest_ = width;
  header()->resizeSection(0, width);
}

void CLeftView::changeEvent(QEvent* event) {
  QTreeWidget::changeEvent(event);
  if (event->type() != QEvent::FontChange && event->type() != QEvent::StyleChange) return;
  // Names measure differently now: the column fits them all again, once.
  widest_ = 0;
  for (QTreeWidgetItemIterator it(this); *it != nullptr; ++it) fit_column_to(*it);
}

void CLeftView::show_folder(TreeItemId id) {
  QTreeWidgetItem* item = item_of(id);
  if (item == nullptr) return;
  for (QTreeWidgetItem* up = item; up != nullptr; up = up->parent()) up->setExpanded(true);
  revealing_ = true;
  setCurrentItem(item);
  revealing_ = false;
  scrollToItem(item);
}

QTreeWidgetItem* CLeftView::item_of(TreeItemId id) const {
  const auto it = items_.find(id);
  return it == items_.end() ? nullptr : it->second;
}

TreeItemId CLeftView::id_of(const QTreeWidgetItem* item) const {
  return item == nullptr ? kNoTreeItem : item->data(0, kIdRole).toULongLong();
}

}  // namespace pstorian
