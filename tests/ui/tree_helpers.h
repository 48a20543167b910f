// Small lookups into the folder tree shared by the desktop tests.
#pragma once

#include <QString>
#include <QTreeWidgetItem>

#include "ui/left_view.h"

namespace pstorian {

// The direct child of `parent` shown as `name`, or null.
inline QTreeWidgetItem* child_named(QTreeWidgetItem* parent, const QString& name) {
  for (int i = 0; i < parent->childCount(); ++i) {
    if (parent->child(i)->text(0) == name) return parent->child(i);
  }
  return nullptr;
}

// The name of the picture the tree gave `item`.
inline QString icon_of(const QTreeWidgetItem* item) {
  return item->data(0, CLeftView::kIconRole).toString();
}

}  // namespace pstorian
