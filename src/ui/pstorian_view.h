// CPstorianView, the right pane of the main window: a report list with the columns Sender,
// Receiver, Subject and Date. Rows are appended in the order they arrive and removed all at
// once; the list is never sorted. The columns follow their content (the names and the
// subject up to a limit, the date always whole), adjusted once a burst of rows has arrived
// rather than at every row. A double-click on a row asks for its item.
#pragma once

#include <QTimer>
#include <QTreeWidget>

namespace pstorian {

class CPstorianView final : public QTreeWidget {
  Q_OBJECT

 public:
  // The widest a name or subject column grows by itself.
  static constexpr int kMaxTextColumnWidth = 360;

  explicit CPstorianView(QWidget* parent = nullptr);

  void setup_columns();
  // Appends a row and scrolls it into view as the current (hot) row.
  void add_row(const QString& sender, const QString& receiver, const QString& subject,
               const QString& date);
  void clear_rows();
  // Sizes the columns to the rows now (otherwise done shortly after rows arrive).
  void fit_columns();

  int row_counter() const { return row_counter_; }

 signals:
  void row_activated(int row);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  int row_counter_ = 0;
  QTimer fit_timer_;
};

}  // namespace pstorian
