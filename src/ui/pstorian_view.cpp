#include "ui/pstorian_view.h"

#include <QHeaderView>
#include <algorithm>
#include <array>

namespace pstorian {

namespace {

constexpr int kDateColumn = 3;

}  // namespace

CPstorianView::CPstorianView(QWidget* parent) : QTreeWidget(parent) {
  setRootIsDecorated(false);
  setSortingEnabled(false);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setColumnCount(0);
  header()->hide();  // no columns until the export sets them up
  fit_timer_.setSingleShot(true);
  fit_timer_.setInterval(150);
  connect(&fit_timer_, &QTimer::timeout, this, &CPstorianView::fit_columns);
  connect(this, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* item, int) { emit row_activated(indexOfTopLevelItem(item)); });
}

void CPstorianView::setup_columns() {
  setColumnCount(4);
  setHeaderLabels({tr("Sender"), tr("Receiver"), tr("Subject"), tr("Date")});
  for (int column = 0; column < 4; ++column) setColumnWidth(column, 200);
  header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header()->setStretchLastSection(false);
  header()->show();
}

void CPstorianView::add_row(const QString& sender, const QString& receiver,
                            const QString& subject, const QString& date) {
  // The listing hands dates over as ctime text, line feed included; a cell shows one line,
  // and a trailing line feed would only make every row twice as tall.
  QString shown_date = date;
  while (shown_date.endsWith(QLatin1Char('\n'))) shown_date.chop(1);
  auto* item = new QTreeWidgetItem(QStringList{sender, receiver, subject, shown_date});
  insertTopLevelItem(std::min(row_counter_, topLevelItemCount()), item);
  setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
  scrollToItem(item, QAbstractItemView::EnsureVisible);
  ++row_counter_;
  if (!fit_timer_.isActive()) fit_timer_.start();
}

void CPstorianView::fit_columns() {
  fit_timer_.stop();
  if (columnCount() != 4) return;
  // The date is shown whole; the three text columns share what is left of the pane, each
  // up to a limit (the list scrolls sideways for the rest). A column that needs less than
  // its share (an empty Receiver column, short senders) gets what it needs, and the others
  // share the rest, so that no text is cut while the pane has room.
  const int date = std::max(sizeHintForColumn(kDateColumn), header()->sectionSizeHint(kDateColumn));
  setColumnWidth(kDateColumn, date);
  std::array<int, kDateColumn> wanted{};
  std::array<bool, kDateColumn> settled{};
  for (int column = 0; column < kDateColumn; ++column) {
    // The header's title counts too, so that an empty column is not narrower than it.
    wanted[column] = std::max(sizeHintForColumn(column), header()->sectionSizeHint(column));
  }
  int left = std::max(0, viewport()->width() - date);
  int open = kDateColumn;
  for (bool changed = true; changed && open > 0;) {
    changed = false;
    const int share = left / open;
    for (int column = 0; column < kDateColumn; ++column) {
      if (settled[column] || wanted[column] > share) continue;
      setColumnWidth(column, wanted[column]);
      settled[column] = true;
      left -= wanted[column];
      --open;
      changed = true;
    }
  }
  if (open == 0) return;
  const int share = std::min(kMaxTextColumnWidth, std::max(80, left / open));
  for (int column = 0; column < kDateColumn; ++column) {
    if (!settled[column])
      setColumnWidth(column, std::max(share, header()->sectionSizeHint(column)));
  }
}

void CPstorianView::resizeEvent(QResizeEvent* event) {
  QTreeWidget::resizeEvent(event);
  if (topLevelItemCount() > 0 && !fit_timer_.isActive()) fit_timer_.start();
}

void CPstorianView::clear_rows() {
  row_counter_ = 0;
  clear();
}

}  // namespace pstorian
