#include "ui/about_dialog.h"

#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/help.h"
#include "ui/user_dialogs.h"

namespace pstorian {

namespace {

const QString kSalesAddress = QStringLiteral("sales@corvane.example");
const QString kSupportAddress = QStringLiteral("support@corvane.example");
const QString kWebAddress = QStringLiteral("https://www.corvane.example/pstorian");

// A label that reports clicks.
class LinkLabel final : public QLabel {
 public:
  LinkLabel(const QString& text, std::function<void()> clicked, QWidget* parent)
      : QLabel(text, parent), clicked_(std::move(clicked)) {
    setCursor(Qt::PointingHandCursor);
    QFont underlined = font();
    underlined.setUnderline(true);
    setFont(underlined);
  }

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override {
    QLabel::mouseReleaseEvent(event);
    clicked_();
  }

 private:
  std::function<void()> clicked_;
};

}  // namespace

QUrl CAboutDialog::link_url(Link link) {
  switch (link) {
    case kSales: return QUrl(QStringLiteral("mailto:") + kSalesAddress);
    case kSupport: return QUrl(QStringLiteral("mailto:") + kSupportAddress);
    case kWeb: return QUrl(kWebAddress);
  }
  return {};
}

CAboutDialog::CAboutDialog(UserDialogs& dialogs, QWidget* parent)
    : QDialog(parent), dialogs_(dialogs) {
  // A frame of the desktop's own, with its title and close box, like every other window.
  setWindowTitle(tr("About Pstorian"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 12);

  auto* banner = new QLabel(this);
  banner->setPixmap(QPixmap(QStringLiteral(":/images/about-banner.svg")));
  banner->setFixedSize(350, 150);
  banner->setScaledContents(true);
  layout->addWidget(banner, 0, Qt::AlignHCenter);

  auto* text = new QLabel(tr("Repairs damaged Outlook personal folder files (*.pst) on Linux."
                             "\n\nPstorian %1, by Corvane")
                              .arg(QStringLiteral(PSTORIAN_VERSION)),
                          this);
  text->setWordWrap(true);
  text->setObjectName(QStringLiteral("aboutText"));
  text->setContentsMargins(12, 0, 12, 0);
  layout->addWidget(text);

  const QString texts[] = {kSalesAddress, kSupportAddress, kWebAddress};
  for (std::size_t i = 0; i < links_.size(); ++i) {
    const auto link = static_cast<Link>(i);
    links_[i] = new LinkLabel(texts[i], [this, link] { open_link(link); }, this);
    links_[i]->setContentsMargins(12, 0, 12, 0);
    colour_link(link);
    layout->addWidget(links_[i]);
  }

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  buttons->setCenterButtons(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons);
}

void CAboutDialog::open_link(Link link) {
  const auto i = static_cast<std::size_t>(link);
  if (link == kWeb) {
    // The web link counts as visited as soon as it is clicked, whether a browser opens or not.
    visited_[i] = true;
    colour_link(link);
    dialogs_.open_url(link_url(link));
    return;
  }
  if (dialogs_.open_url(link_url(link))) {
    visited_[i] = true;
    colour_link(link);
  } else {
    dialogs_.show_message(this, tr("No mail program could be opened for %1.").arg(link_url(link).path()),
                          kAppTitle, MessageIcon::Error);
  }
}

void CAboutDialog::colour_link(Link link) {
  QLabel* label = links_[static_cast<std::size_t>(link)];
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText,
                   visited(link) ? QColor(128, 0, 128) : QColor(0, 0, 255));
  label->setPalette(palette);
  label->update();
}

void CAboutDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    open_help(dialogs_);
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace pstorian
