// A recovered item as the item view shows it, read back from the output store through the
// mail client: its header texts, its body as text, its recipients and its attachments.
//
// An item of the list is found by where its row came from: the folder path that was listed
// (or filled by the export), its row's position, and its subject. Rows are listed in the
// folder's order, so the item at the row's position is tried first; when its subject differs
// (an item the listing could not read was left out), the folder's items with that subject
// are counted through in order instead.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pst/messaging/message_content.h"

namespace pstorian {

struct StoredRecipient {
  QString name;
  QString address;
  int type = 1;  // 1 To, 2 Cc, 3 Bcc (PR_RECIPIENT_TYPE)
};

struct StoredAttachment {
  QString name;
  qint64 size = 0;            // as the attachment says, else the data's size
  QByteArray data;            // by-value data; empty for other kinds
  bool embedded_message = false;
};

struct StoredItem {
  QString message_class;
  QString subject;
  QString from;      // the sender's name, with the address in brackets when known
  QString to, cc;    // the display texts
  QString date;      // delivery (else submit) time, local, as the locale writes it
  QString body;      // plain text; an HTML-only body converted to text
  bool body_was_html = false;
  std::vector<StoredRecipient> recipients;
  std::vector<StoredAttachment> attachments;
};

// Where a row of the item list came from.
struct ItemLocation {
  std::vector<std::string> folder_path;  // UTF-8 names from under "Root Folder" down
  int row = 0;                           // 0-based position in the list
  QString subject;                       // the row's subject
  int subject_occurrence = 0;            // rows with the same subject before this one
};

// Puts a stored message's content into the view's terms. 8-bit texts are read in `codepage`.
StoredItem decode_stored_item(const MessageContent& content, std::string_view codepage);

class StoredItemReader {
 public:
  virtual ~StoredItemReader() = default;
  // The item, or nothing when it cannot be found or read; `error` then says why.
  virtual std::optional<StoredItem> read(const ItemLocation& location, QString& error) = 0;
};

// The reader over the embedded mail client, for the store at `output_store_index` (1-based,
// as the export reported it).
std::unique_ptr<StoredItemReader> make_mail_client_item_reader(int output_store_index);

}  // namespace pstorian
