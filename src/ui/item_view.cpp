#include "ui/item_view.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QSplitter>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "ui/user_dialogs.h"

namespace pstorian {

namespace {

QLabel* header_value(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  return label;
}

// A file name that cannot leave the folder it is saved in.
QString safe_file_name(const QString& name) {
  QString safe = name;
  safe.replace(QLatin1Char('/'), QLatin1Char('_'));
  if (safe.isEmpty() || safe == QStringLiteral(".") || safe == QStringLiteral(".."))
    safe = QStringLiteral("attachment");
  return safe;
}

}  // namespace

CItemView::CItemView(StoredItem item, UserDialogs& dialogs, QWidget* parent)
    : QDialog(parent), item_(std::move(item)), dialogs_(dialogs) {
  setWindowTitle(item_.subject.isEmpty() ? tr("(no subject)") : item_.subject);
  setWindowFlag(Qt::WindowMaximizeButtonHint);
  setSizeGripEnabled(true);

  auto* header = new QWidget(this);
  auto* form = new QFormLayout(header);
  form->setContentsMargins(0, 0, 0, 0);
  form->addRow(tr("From:"), header_value(item_.from, header));
  form->addRow(tr("To:"), header_value(item_.to, header));
  if (!item_.cc.isEmpty()) form->addRow(tr("Cc:"), header_value(item_.cc, header));
  form->addRow(tr("Subject:"), header_value(item_.subject, header));
  form->addRow(tr("Date:"), header_value(item_.date, header));
  form->addRow(tr("Kind:"), header_value(item_.message_class, header));

  auto* body = new QPlainTextEdit(this);
  body->setObjectName(QStringLiteral("bodyText"));
  body->setReadOnly(true);
  body->setPlainText(item_.body);

  recipients_ = new QTreeWidget(this);
  recipients_->setObjectName(QStringLiteral("recipientList"));
  recipients_->setRootIsDecorated(false);
  recipients_->setHeaderLabels({tr("Name"), tr("Address"), tr("Type")});
  for (const StoredRecipient& r : item_.recipients) {
    const QString type = r.type == 2 ? tr("Cc") : r.type == 3 ? tr("Bcc") : tr("To");
    recipients_->addTopLevelItem(new QTreeWidgetItem(QStringList{r.name, r.address, type}));
  }
  recipients_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);

  auto* attachment_page = new QWidget(this);
  attachments_ = new QTreeWidget(attachment_page);
  attachments_->setObjectName(QStringLiteral("attachmentList"));
  attachments_->setRootIsDecorated(false);
  attachments_->setHeaderLabels({tr("Name"), tr("Size")});
  const QLocale locale;
  for (const StoredAttachment& a : item_.attachments) {
    const QString name = a.embedded_message ? tr("%1 (message)").arg(a.name) : a.name;
    attachments_->addTopLevelItem(
        new QTreeWidgetItem(QStringList{name, locale.formattedDataSize(a.size)}));
  }
  attachments_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  save_button_ = new QPushButton(tr("&Save As..."), attachment_page);
  save_button_->setObjectName(QStringLiteral("saveAttachmentButton"));
  save_button_->setEnabled(false);
  auto* attachment_layout = new QVBoxLayout(attachment_page);
  attachment_layout->setContentsMargins(0, 0, 0, 0);
  attachment_layout->addWidget(attachments_);
  attachment_layout->addWidget(save_button_, 0, Qt::AlignRight);
  connect(attachments_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
    const int index = attachments_->indexOfTopLevelItem(current);
    save_button_->setEnabled(index >= 0 &&
                             !item_.attachments[static_cast<std::size_t>(index)].embedded_message);
  });
  connect(save_button_, &QPushButton::clicked, this, [this] {
    save_attachment(attachments_->indexOfTopLevelItem(attachments_->currentItem()));
  });
  connect(attachments_, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* row) { save_attachment(attachments_->indexOfTopLevelItem(row)); });

  auto* tabs = new QTabWidget(this);
  tabs->setObjectName(QStringLiteral("itemTabs"));
  tabs->addTab(body, item_.body_was_html ? tr("Message (from HTML)") : tr("Message"));
  tabs->addTab(recipients_, tr("Recipients (%1)").arg(item_.recipients.size()));
  tabs->addTab(attachment_page, tr("Attachments (%1)").arg(item_.attachments.size()));

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(header);
  layout->addWidget(tabs, 1);
  layout->addWidget(buttons);
  resize(QSize(fontMetrics().averageCharWidth() * 90, fontMetrics().height() * 30));
}

bool CItemView::save_attachment(int index) {
  if (index < 0 || index >= static_cast<int>(item_.attachments.size())) return false;
  const StoredAttachment& attachment = item_.attachments[static_cast<std::size_t>(index)];
  if (attachment.embedded_message) return false;
  const QString path =
      dialogs_.choose_save_path(this, QDir::home().filePath(safe_file_name(attachment.name)));
  if (path.isEmpty()) return false;
  // Written beside and renamed over the name, so a failure never leaves half a file there.
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(attachment.data) != attachment.data.size() ||
      !file.commit()) {
    dialogs_.show_message(this, tr("The attachment could not be saved to %1: %2")
                                    .arg(QDir::toNativeSeparators(path), file.errorString()),
                          kAppTitle, MessageIcon::Error);
    return false;
  }
  return true;
}

}  // namespace pstorian
