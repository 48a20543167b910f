// pstorian_screenshots SOURCE.pst OUTPUT_FOLDER: runs the desktop program's own windows and
// services on a sample, answering its dialogs itself, and saves PNG pictures of the file
// selection dialog during the scan, of the main window after the repair and of the main
// window with a folder listed. Run it under a display (scripts/screenshots.sh uses Xvfb).
#include <QApplication>
#include <QDir>
#include <QProgressBar>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>

#include "fakes.h"
#include "ui/gui_call.h"
#include "ui/left_view.h"
#include "ui/main_frame.h"

using namespace pstorian;
using namespace std::chrono_literals;

namespace {

void save(QWidget& widget, const QDir& out, const char* name) {
  const QString path = out.filePath(QString::fromLatin1(name));
  if (widget.grab().save(path)) {
    std::printf("saved %s\n", qPrintable(path));
  } else {
    std::printf("could not save %s\n", qPrintable(path));
  }
}

// The first folder of the tree that holds the well-known Inbox, else the first folder below
// the root.
QTreeWidgetItem* folder_to_list(QTreeWidget& tree) {
  QTreeWidgetItem* first = nullptr;
  std::function<QTreeWidgetItem*(QTreeWidgetItem*)> walk = [&](QTreeWidgetItem* item) {
    for (int i = 0; i < item->childCount(); ++i) {
      QTreeWidgetItem* child = item->child(i);
      if (!first) first = child;
      if (child->data(0, CLeftView::kIconRole).toString() == QStringLiteral("inbox")) return child;
      if (QTreeWidgetItem* found = walk(child)) return found;
    }
    return static_cast<QTreeWidgetItem*>(nullptr);
  };
  if (tree.topLevelItemCount() == 0) return nullptr;
  QTreeWidgetItem* inbox = walk(tree.topLevelItem(0));
  return inbox ? inbox : first;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: pstorian_screenshots SOURCE.pst OUTPUT_FOLDER\n");
    return 2;
  }
  const QString source = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
  QDir out(QString::fromLocal8Bit(argv[2]));
  out.mkpath(QStringLiteral("."));

  auto dialogs = std::make_shared<testing::FakeDialogs>();
  dialogs->files = {source};
  dialogs->folders = {out.absolutePath()};
  dialogs->answers = {true, true, true};  // replace an earlier output
  UiServices services = default_services();
  services.dialogs = dialogs;
  services.end_process = [](int) {};

  CMainFrame frame(services);
  frame.resize(1100, 650);
  frame.show();

  bool dialog_saved = false;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<CSelectFileDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    auto* bar = dialog->findChild<QProgressBar*>(QStringLiteral("progressBar"));
    QObject::connect(bar, &QProgressBar::valueChanged, dialog, [&, dialog, bar](int value) {
      if (!dialog_saved && value >= bar->maximum() / 2) {
        dialog_saved = true;
        save(*dialog, out, "dialog-during-scan.png");
      }
    });
    dialog->browse();
    dialog->change();
    dialog->start();
  });
  frame.open_pst();
  if (!dialog_saved) std::printf("the scan ended before it could be pictured\n");

  if (frame.job_thread() != nullptr) {
    wait_processing_events([&] { return frame.job_thread()->worker().done(); }, 30min);
  }
  wait_processing_events([] { return false; }, 200ms);
  save(frame, out, "main-after-repair.png");

  if (QTreeWidgetItem* folder = folder_to_list(*frame.left_view())) {
    frame.left_view()->setCurrentItem(folder);
    wait_processing_events([&] { return !frame.listing_running(); }, 5min);
    wait_processing_events([] { return false; }, 200ms);
    save(frame, out, "main-folder-listed.png");
  }
  for (const QString& message : dialogs->messages) std::printf("message: %s\n", qPrintable(message));
  return 0;
}
