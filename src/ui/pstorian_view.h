// CPstorianView, the right pane of the main window: a report list with the columns Sender,
// Receiver, Subject and Date (200 pixels each). Rows are appended in the order they arrive
// and removed all at once; the list is never sorted.
#pragma once

#include <QTreeWidget>

namespace pstorian {

class CPstorianView final : public QTreeWidget {
  Q_OBJECT

 public:
  explicit CPstorianView(QWidget* parent = nullptr);

  void setup_columns();
  // Appends a row and scrolls it into view as the current (hot) row.
  void add_row(const QString& sender, const QString& receiver, const QString& subject,
               const QString& date);
  void clear_rows();

  int row_counter() const { return row_counter_; }

 private:
  int row_counter_ = 0;
};

}  // namespace pstorian
