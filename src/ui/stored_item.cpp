#include "ui/stored_item.h"

#include <QDateTime>
#include <QLocale>
#include <QTextDocument>

#include "engine/codepage.h"
#include "export/mail_client.h"
#include "export/wide_text.h"
#include "format/endian.h"
#include "mailclient/automation/automation.h"
#include "mailclient/automation/helper_component.h"
#include "mailclient/automation/mail_client_factory.h"

namespace pstorian {

namespace {

using automation::AutomationError;

// Property ids (the high 16 bits of a tag) the view shows.
constexpr std::uint16_t kMessageClass = 0x001A;
constexpr std::uint16_t kSubject = 0x0037;
constexpr std::uint16_t kClientSubmitTime = 0x0039;
constexpr std::uint16_t kSentRepresentingName = 0x0042;
constexpr std::uint16_t kRecipientType = 0x0C15;
constexpr std::uint16_t kSenderName = 0x0C1A;
constexpr std::uint16_t kSenderEmailAddress = 0x0C1F;
constexpr std::uint16_t kDisplayCc = 0x0E03;
constexpr std::uint16_t kDisplayTo = 0x0E04;
constexpr std::uint16_t kMessageDeliveryTime = 0x0E06;
constexpr std::uint16_t kAttachSize = 0x0E20;
constexpr std::uint16_t kBody = 0x1000;
constexpr std::uint16_t kBodyHtml = 0x1013;
constexpr std::uint16_t kDisplayName = 0x3001;
constexpr std::uint16_t kEmailAddress = 0x3003;
constexpr std::uint16_t kAttachDataBinary = 0x3701;
constexpr std::uint16_t kAttachFilename = 0x3704;
constexpr std::uint16_t kAttachMethod = 0x3705;
constexpr std::uint16_t kAttachLongFilename = 0x3707;
constexpr std::uint16_t kSmtpAddress = 0x39FE;

constexpr std::uint16_t kTypeInt32 = 0x0003;
constexpr std::uint16_t kTypeString8 = 0x001E;
constexpr std::uint16_t kTypeUnicode = 0x001F;
constexpr std::uint16_t kTypeTime = 0x0040;
constexpr std::uint16_t kTypeBinary = 0x0102;
constexpr std::uint32_t kAttachEmbeddedMessage = 5;

// Windows file times count 100 ns from 1601-01-01; Unix time starts 11644473600 s later.
constexpr std::int64_t kFiletimeUnixOffsetSeconds = 11644473600;

class Properties {
 public:
  Properties(const ContentProperties& properties, const CodepageConverter* codepage)
      : properties_(properties), codepage_(codepage) {}

  const ContentProperty* find(std::uint16_t id) const {
    for (const ContentProperty& p : properties_) {
      if (p.id() == id && !p.name) return &p;
    }
    return nullptr;
  }

  QString text(std::uint16_t id) const {
    const ContentProperty* p = find(id);
    if (p == nullptr) return {};
    if (p->type() == kTypeUnicode) {
      std::u16string wide(p->value.size() / 2, u'\0');
      for (std::size_t i = 0; i < wide.size(); ++i)
        wide[i] = static_cast<char16_t>(pst::load_le16(p->value, i * 2));
      while (!wide.empty() && wide.back() == u'\0') wide.pop_back();
      return QString::fromStdU16String(wide);
    }
    if (p->type() == kTypeString8 || p->type() == kTypeBinary) {
      std::string narrow(p->value.begin(), p->value.end());
      while (!narrow.empty() && narrow.back() == '\0') narrow.pop_back();
      return QString::fromStdString(codepage_ ? codepage_->to_utf8(narrow) : narrow);
    }
    return {};
  }

  std::optional<std::uint32_t> int32(std::uint16_t id) const {
    const ContentProperty* p = find(id);
    if (p == nullptr || p->type() != kTypeInt32 || p->value.size() < 4) return std::nullopt;
    return pst::load_le32(p->value, 0);
  }

  std::optional<QDateTime> time(std::uint16_t id) const {
    const ContentProperty* p = find(id);
    if (p == nullptr || p->type() != kTypeTime || p->value.size() < 8) return std::nullopt;
    const std::uint64_t filetime = pst::load_le64(p->value, 0);
    if (filetime == 0) return std::nullopt;
    const auto seconds = static_cast<std::int64_t>(filetime / 10'000'000) - kFiletimeUnixOffsetSeconds;
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toLocalTime();
  }

  QByteArray bytes(std::uint16_t id) const {
    const ContentProperty* p = find(id);
    if (p == nullptr) return {};
    return QByteArray(reinterpret_cast<const char*>(p->value.data()),
                      static_cast<qsizetype>(p->value.size()));
  }

 private:
  const ContentProperties& properties_;
  const CodepageConverter* codepage_;
};

QString with_address(const QString& name, const QString& address) {
  if (address.isEmpty() || address == name) return name;
  if (name.isEmpty()) return address;
  return QStringLiteral("%1 <%2>").arg(name, address);
}

}  // namespace

StoredItem decode_stored_item(const MessageContent& content, std::string_view codepage) {
  const std::optional<CodepageConverter> converter = CodepageConverter::open(codepage);
  const CodepageConverter* cp = converter ? &*converter : nullptr;
  const Properties message(content.properties, cp);

  StoredItem item;
  item.message_class = message.text(kMessageClass);
  item.subject = message.text(kSubject);
  // A stored subject may open with 0x01 and the length of its prefix ("RE: "), which marks
  // where the normalized subject begins; it is no text.
  if (item.subject.size() >= 2 && item.subject[0] == QChar(0x01)) item.subject.remove(0, 2);
  QString sender = message.text(kSenderName);
  if (sender.isEmpty()) sender = message.text(kSentRepresentingName);
  item.from = with_address(sender, message.text(kSenderEmailAddress));
  item.to = message.text(kDisplayTo);
  item.cc = message.text(kDisplayCc);
  std::optional<QDateTime> when = message.time(kMessageDeliveryTime);
  if (!when) when = message.time(kClientSubmitTime);
  if (when) item.date = QLocale().toString(*when, QLocale::LongFormat);

  item.body = message.text(kBody);
  if (item.body.isEmpty()) {
    if (const ContentProperty* html = message.find(kBodyHtml)) {
      // Shown as text: the view runs no markup, scripts or remote pictures of a message.
      QTextDocument document;
      document.setHtml(html->type() == kTypeUnicode ? message.text(kBodyHtml)
                                                    : QString::fromUtf8(message.bytes(kBodyHtml)));
      item.body = document.toPlainText();
      item.body_was_html = true;
    }
  }

  for (const ContentProperties& row : content.recipients) {
    const Properties r(row, cp);
    StoredRecipient recipient;
    recipient.name = r.text(kDisplayName);
    recipient.address = r.text(kSmtpAddress);
    if (recipient.address.isEmpty()) recipient.address = r.text(kEmailAddress);
    recipient.type = static_cast<int>(r.int32(kRecipientType).value_or(1) & 0xF);
    item.recipients.push_back(std::move(recipient));
  }

  for (const AttachmentContent& a : content.attachments) {
    const Properties p(a.properties, cp);
    StoredAttachment attachment;
    attachment.name = p.text(kAttachLongFilename);
    if (attachment.name.isEmpty()) attachment.name = p.text(kAttachFilename);
    if (attachment.name.isEmpty()) attachment.name = p.text(kDisplayName);
    attachment.embedded_message = p.int32(kAttachMethod) == kAttachEmbeddedMessage;
    if (attachment.embedded_message && attachment.name.isEmpty() && a.embedded) {
      attachment.name = Properties(a.embedded->properties, cp).text(kSubject);
    }
    if (!attachment.embedded_message) {
      if (const ContentProperty* data = p.find(kAttachDataBinary); data && data->type() == kTypeBinary)
        attachment.data = p.bytes(kAttachDataBinary);
    }
    attachment.size = attachment.data.isEmpty() ? p.int32(kAttachSize).value_or(0)
                                                : attachment.data.size();
    item.attachments.push_back(std::move(attachment));
  }
  return item;
}

namespace {

// Reads items of the output store the way the listing reaches them: the store by its
// position among the mail client's stores, the folder by walking the path's names from its
// root (names the store lacks are passed over).
class MailClientItemReader final : public StoredItemReader {
 public:
  explicit MailClientItemReader(int output_store_index) : index_(output_store_index) {}

  std::optional<StoredItem> read(const ItemLocation& location, QString& error) override {
    try {
      return read_item(location, error);
    } catch (const AutomationError& e) {
      error = QString::fromStdString(e.what());
    } catch (const std::exception& e) {
      error = QString::fromStdString(e.what());
    }
    return std::nullopt;
  }

 private:
  std::optional<StoredItem> read_item(const ItemLocation& location, QString& error) {
    const MailClient client = make_mail_client();
    const auto application = create_application(client);
    if (!application) {
      error = QStringLiteral("the mail client could not be started");
      return std::nullopt;
    }
    const auto helper = std::dynamic_pointer_cast<automation::HelperMailItem>(
        client.factory->CreateHelper(automation::kHelperMailItemProgId));
    const auto stores = application->GetNamespace(automation::kNamespaceType)->get_Folders();
    if (!helper || !stores || index_ <= 0 || index_ > stores->Count()) {
      error = QStringLiteral("the recovered file is not open in the mail client");
      return std::nullopt;
    }
    std::shared_ptr<automation::Folder> folder = stores->Item(index_);
    for (const std::string& name : location.folder_path) {
      std::shared_ptr<automation::Folder> next;
      try {
        if (const auto subfolders = folder->get_Folders()) next = subfolders->Item(utf8_to_utf16(name));
      } catch (const AutomationError&) {
        // Folders of the source's own structure are not in the output store.
      }
      if (next) folder = std::move(next);
    }
    const auto items = folder->get_Items();
    const std::shared_ptr<automation::MailItem> item = find(*items, location);
    if (!item) {
      error = QStringLiteral("the item is no longer in its folder");
      return std::nullopt;
    }
    helper->put_BoundObject(item);
    const auto content = helper->get_Content();
    helper->put_BoundObject(nullptr);
    // The store was written in the code page of the file it was recovered from.
    return decode_stored_item(*content, mail_client_codepage());
  }

  static std::shared_ptr<automation::MailItem> find(automation::Items& items,
                                                    const ItemLocation& location) {
    const std::u16string subject = location.subject.toStdU16String();
    const int count = items.Count();
    if (location.row < count) {
      if (auto item = items.Item(location.row + 1); item && item->get_Subject() == subject)
        return item;
    }
    int seen = 0;
    for (int i = 1; i <= count; ++i) {
      auto item = items.Item(i);
      if (item && item->get_Subject() == subject && seen++ == location.subject_occurrence)
        return item;
    }
    return nullptr;
  }

  int index_;
};

}  // namespace

std::unique_ptr<StoredItemReader> make_mail_client_item_reader(int output_store_index) {
  return std::make_unique<MailClientItemReader>(output_store_index);
}

}  // namespace pstorian
