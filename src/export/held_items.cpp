#include "export/held_items.h"

#include <algorithm>
#include <array>

#include "format/utf8.h"
#include "pst/messaging/content_import.h"

namespace pstorian {
namespace {

constexpr std::uint16_t kTypeString8 = 0x001E;
constexpr std::uint16_t kTypeUnicode = 0x001F;
constexpr std::uint16_t kMessageClass = 0x001A;
constexpr std::uint16_t kSubject = 0x0037;
constexpr std::uint16_t kBody = 0x1000;
constexpr std::uint16_t kAttachDataBin = 0x3701;
constexpr std::uint16_t kAttachFilename = 0x3704;
constexpr std::uint16_t kAttachLongFilename = 0x3707;

// Values the store sets as it saves an item, or the export derives for a value the source
// lacks: a held item and the record it was written from may differ in them.
constexpr std::array<std::uint16_t, 20> kNotCompared = {
    kMessageClass, 0x0017 /* importance */,   0x0036 /* sensitivity */,
    0x003D /* subject prefix */,              0x0E1D /* normalized subject */,
    0x0E02 /* display bcc */,                 0x0E03 /* display cc */,
    0x0E04 /* display to */,                  0x0E07 /* message flags */,
    0x0E08 /* message size */,                0x0E17 /* message status */,
    0x0E1B /* has attachments */,             0x0C1A /* sender name */,
    0x0C1E /* sender address type */,         0x0042 /* sent representing name */,
    0x0064 /* sent representing address type */, 0x3007 /* creation time */,
    0x3008 /* last modification time */,      0x3FFD /* message code page */,
    0x3FDE /* internet code page */};

class Hash {
 public:
  void bytes(std::string_view data) {
    for (const char c : data) {
      h_ ^= static_cast<unsigned char>(c);
      h_ *= 1099511628211ull;
    }
    // The length ends each piece, so that two pieces never read as one.
    number(data.size());
  }
  void number(std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
      h_ ^= (value >> (8 * i)) & 0xFF;
      h_ *= 1099511628211ull;
    }
  }
  std::uint64_t value() const { return h_; }

 private:
  std::uint64_t h_ = 14695981039346656037ull;
};

std::string_view as_chars(const std::vector<std::uint8_t>& value) {
  return {reinterpret_cast<const char*>(value.data()), value.size()};
}

// A text value in UTF-8, whichever string type holds it; empty for another type.
std::string text_of(const ContentProperty& p, const FileText& text) {
  if (p.type() == kTypeString8) return text.utf8(as_chars(p.value));
  if (p.type() != kTypeUnicode) return {};
  std::u16string wide(p.value.size() / 2, u'\0');
  for (std::size_t i = 0; i < wide.size(); ++i)
    wide[i] = static_cast<char16_t>(p.value[2 * i] | (p.value[2 * i + 1] << 8));
  wide.resize(std::min(wide.size(), wide.find(u'\0')));
  return utf16_to_utf8(wide);
}

bool is_text(const ContentProperty& p) {
  return p.type() == kTypeString8 || p.type() == kTypeUnicode;
}

const ContentProperty* find(const ContentProperties& properties, std::uint16_t id) {
  for (const ContentProperty& p : properties)
    if (p.id() == id) return &p;
  return nullptr;
}

std::uint64_t attachment_fingerprint(const AttachmentContent& attachment, const FileText& text) {
  Hash h;
  if (const ContentProperty* data = find(attachment.properties, kAttachDataBin))
    h.bytes(as_chars(data->value));
  for (const std::uint16_t id : {kAttachLongFilename, kAttachFilename}) {
    if (const ContentProperty* name = find(attachment.properties, id); name && is_text(*name)) {
      h.bytes(text_of(*name, text));
      break;
    }
  }
  h.number(attachment.embedded ? whole_fingerprint(*attachment.embedded, text) : 0);
  return h.value();
}

}  // namespace

std::uint64_t whole_fingerprint(const MessageContent& content, const FileText& text) {
  // In tag order, so that the order a store lists its properties in does not count.
  std::vector<std::pair<std::uint16_t, std::uint64_t>> values;
  for (const ContentProperty& p : content.properties) {
    const std::uint16_t id = p.id();
    if (id == 0 || id >= 0x8000 || store_owned(id, ContentObject::kMessage) ||
        std::find(kNotCompared.begin(), kNotCompared.end(), id) != kNotCompared.end())
      continue;
    Hash h;
    h.number(id);
    if (is_text(p)) {
      h.bytes(text_of(p, text));
    } else {
      h.number(p.type());
      h.bytes(as_chars(p.value));
    }
    values.emplace_back(id, h.value());
  }
  std::sort(values.begin(), values.end());
  std::vector<std::uint64_t> attachments;
  for (const AttachmentContent& a : content.attachments)
    attachments.push_back(attachment_fingerprint(a, text));
  std::sort(attachments.begin(), attachments.end());

  Hash h;
  for (const auto& [id, value] : values) h.number(value);
  h.number(content.recipients.size());
  h.number(attachments.size());
  for (const std::uint64_t a : attachments) h.number(a);
  return h.value();
}

std::uint64_t bare_fingerprint(std::string_view item_class, std::string_view subject,
                               std::string_view body) {
  Hash h;
  h.bytes(item_class);
  h.bytes(subject);
  h.bytes(body);
  return h.value();
}

void HeldItems::add(const MessageContent& content, const FileText& text) {
  const std::size_t index = matched_.size();
  matched_.push_back(false);
  whole_.emplace(whole_fingerprint(content, text), index);
  const auto text_value = [&](std::uint16_t id) {
    const ContentProperty* p = find(content.properties, id);
    return p && is_text(*p) ? text_of(*p, text) : std::string();
  };
  bare_.emplace(bare_fingerprint(text_value(kMessageClass), text_value(kSubject), text_value(kBody)),
                index);
}

bool HeldItems::take(const ItemRecord& record, const FileText& text) {
  if (matched_.empty()) return false;
  if (record.content) return take_from(whole_, whole_fingerprint(*record.content, text));
  // Written from a few values only, as a note: its class, subject and body (see the export).
  const MessageProps* m = record.message ? &*record.message : nullptr;
  const std::string subject = m && m->subject ? text.utf8(m->subject->text) : std::string();
  const std::string body = m && m->body ? text.utf8(*m->body) : std::string();
  return take_from(bare_, bare_fingerprint("IPM.Note", subject, body));
}

bool HeldItems::take_from(std::unordered_multimap<std::uint64_t, std::size_t>& index,
                          std::uint64_t fingerprint) {
  const auto [first, last] = index.equal_range(fingerprint);
  for (auto it = first; it != last; ++it) {
    if (matched_[it->second]) continue;
    matched_[it->second] = true;
    return true;
  }
  return false;
}

}  // namespace pstorian
