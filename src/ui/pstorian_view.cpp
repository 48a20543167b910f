#include "ui/pstorian_view.h"

#include <QHeaderView>

namespace pstorian {

CPstorianView::CPstorianView(QWidget* parent) : QTreeWidget(parent) {
  setRootIsDecorated(false);
  setSortingEnabled(false);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setColumnCount(0);
  header()->hide();  // no columns until the export sets them up
}

void CPstorianView::setup_columns() {
  setColumnCount(4);
  setHeaderLabels({QStringLiteral("Sender"), QStringLiteral("Receiver"),
                   QStringLiteral("Subject"), QStringLiteral("Date")});
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
}

void CPstorianView::clear_rows() {
  row_counter_ = 0;
  clear();
}

}  // namespace pstorian
