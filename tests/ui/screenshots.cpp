// pstorian_screenshots SOURCE.pst OUTPUT_FOLDER: runs the desktop program's own windows and
// services on a sample, answering its dialogs itself, and saves PNG pictures of the file
// selection dialog during the scan, of the main window during and after the repair and with
// a folder listed, of a listed item (one with an attachment where the first rows have one)
// and of the About box. Run it under a display (scripts/screenshots.sh uses Xvfb).
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QSettings>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>

#include "fakes.h"
#include "engine/codepage.h"
#include "export/mail_client.h"
#include "format/utf8.h"
#include "mailclient/automation/helper_component.h"
#include "ui/about_dialog.h"
#include "ui/gui_call.h"
#include "ui/item_view.h"
#include "ui/left_view.h"
#include "ui/main_frame.h"
#include "ui/pstorian_view.h"

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

// The first item with an attachment in the top folders of the store `file`, read whole
// through the mail client.
std::optional<StoredItem> item_with_attachment_in(const QString& file) {
  try {
    const MailClient client = make_mail_client();
    const auto application = create_application(client);
    const auto ns = application->GetNamespace(automation::kNamespaceType);
    ns->AddStore(pst::path_to_utf16(file.toStdString()));
    const auto helper = std::dynamic_pointer_cast<automation::HelperMailItem>(
        client.factory->CreateHelper(automation::kHelperMailItemProgId));
    const auto folders = ns->get_Folders()->Item(ns->get_Folders()->Count())->get_Folders();
    for (int f = 1; f <= folders->Count(); ++f) {
      const auto items = folders->Item(f)->get_Items();
      for (int i = 1; i <= std::min(items->Count(), 60); ++i) {
        helper->put_BoundObject(items->Item(i));
        StoredItem item = decode_stored_item(*helper->get_Content(), kDefaultCodepage);
        if (!item.attachments.empty()) return item;
      }
    }
  } catch (const std::exception& e) {
    std::printf("could not read the copy: %s\n", e.what());
  }
  return std::nullopt;
}

// Opens listed items one after another until one with an attachment is shown; returns its
// view, or the first item's when none of the first rows has one.
CItemView* open_item_with_attachment(CMainFrame& frame) {
  CItemView* first = nullptr;
  const int rows = std::min(frame.list_view()->topLevelItemCount(), 120);
  for (int row = 0; row < rows; ++row) {
    if (!frame.open_item(row)) continue;
    CItemView* view = frame.findChildren<CItemView*>().constLast();
    if (!view->item().attachments.empty()) {
      if (first != nullptr) first->close();
      return view;
    }
    if (first == nullptr) {
      first = view;
    } else {
      view->close();
    }
  }
  return first;
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
  // The window's own first size, not one remembered from an earlier run.
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, out.absolutePath());

  auto dialogs = std::make_shared<testing::FakeDialogs>();
  dialogs->files = {source};
  dialogs->folders = {out.absolutePath()};
  dialogs->answers = {true, true, true};  // replace an earlier output
  UiServices services = default_services();
  services.dialogs = dialogs;
  services.end_process = [](int) {};

  CMainFrame frame(services);
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

  bool during_saved = false;
  if (frame.job_thread() != nullptr) {
    wait_processing_events(
        [&] {
          if (!during_saved && frame.list_view()->topLevelItemCount() >= 25) {
            during_saved = true;
            frame.list_view()->fit_columns();
            save(frame, out, "main-during-repair.png");
          }
          return frame.job_thread()->worker().done();
        },
        30min);
  }
  if (!during_saved) std::printf("the repair ended before it could be pictured\n");
  wait_processing_events([] { return false; }, 300ms);
  save(frame, out, "main-after-repair.png");

  // The Inbox listed (else the first folder with rows); then folder after folder until an
  // item with an attachment is found for the item view.
  std::vector<QTreeWidgetItem*> folders;
  if (QTreeWidgetItem* inbox = folder_to_list(*frame.left_view())) folders.push_back(inbox);
  std::function<void(QTreeWidgetItem*)> collect = [&](QTreeWidgetItem* item) {
    for (int i = 0; i < item->childCount(); ++i) {
      folders.push_back(item->child(i));
      collect(item->child(i));
    }
  };
  if (frame.left_view()->topLevelItemCount() > 0) collect(frame.left_view()->topLevelItem(0));
  bool listed_saved = false, item_saved = false;
  for (QTreeWidgetItem* folder : folders) {
    if (item_saved) break;
    frame.left_view()->setCurrentItem(folder);
    wait_processing_events([&] { return !frame.listing_running(); }, 5min);
    if (frame.list_view()->topLevelItemCount() == 0) continue;
    wait_processing_events([] { return false; }, 300ms);
    if (!listed_saved) {
      listed_saved = true;
      save(frame, out, "main-folder-listed.png");
    }
    CItemView* view = open_item_with_attachment(frame);
    if (view == nullptr) continue;
    if (view->item().attachments.empty()) {
      view->close();
      continue;
    }
    item_saved = true;
    view->findChild<QTabWidget*>(QStringLiteral("itemTabs"))->setCurrentIndex(2);
    auto* attachments = view->findChild<QTreeWidget*>(QStringLiteral("attachmentList"));
    attachments->setCurrentItem(attachments->topLevelItem(0));
    wait_processing_events([] { return false; }, 300ms);
    save(*view, out, "item-view.png");
    view->findChild<QTabWidget*>(QStringLiteral("itemTabs"))->setCurrentIndex(0);
    wait_processing_events([] { return false; }, 200ms);
    save(*view, out, "item-view-message.png");
    view->close();
  }
  if (!item_saved) {
    // The repaired file holds no attachment (the mail client does not write them yet): the
    // view is pictured with an item of a copy of the sample itself, read the same way.
    std::printf("no listed item has an attachment: picturing one of a copy of the sample\n");
    const QString copy = out.filePath(QStringLiteral("sample-copy.pst"));
    QFile::remove(copy);
    QFile::copy(source, copy);
    QFile(copy).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    if (auto found = item_with_attachment_in(copy)) {
      CItemView view(std::move(*found), *dialogs, &frame);
      view.show();
      view.findChild<QTabWidget*>(QStringLiteral("itemTabs"))->setCurrentIndex(2);
      auto* attachments = view.findChild<QTreeWidget*>(QStringLiteral("attachmentList"));
      attachments->setCurrentItem(attachments->topLevelItem(0));
      wait_processing_events([] { return false; }, 300ms);
      save(view, out, "item-view.png");
      view.close();
    }
    QFile::remove(copy);
  }

  CAboutDialog about(*dialogs, &frame);
  about.show();
  wait_processing_events([] { return false; }, 300ms);
  save(about, out, "about.png");
  about.close();

  for (const QString& message : dialogs->messages) std::printf("message: %s\n", qPrintable(message));
  for (const QString& message : dialogs->completions) std::printf("completion: %s\n", qPrintable(message));
  return 0;
}
