#include "mailclient/automation/sample_items.h"

#include <bit>
#include <cctype>
#include <string>
#include <vector>

#include "format/endian.h"
#include "format/property_types.h"
#include "mailclient/automation/compressed_rtf.h"
#include "mailclient/automation/ole_date.h"
#include "pst/messaging/text_codec.h"

namespace pstorian {

Guid make_guid(std::uint32_t d1, std::uint16_t d2, std::uint16_t d3,
               std::array<std::uint8_t, 8> d4) {
  Guid g{};
  pst::store_le32(g, 0, d1);
  pst::store_le16(g, 4, d2);
  pst::store_le16(g, 6, d3);
  std::copy(d4.begin(), d4.end(), g.begin() + 8);
  return g;
}

namespace property_set {
namespace {
constexpr std::array<std::uint8_t, 8> kMapiTail = {0xC0, 0, 0, 0, 0, 0, 0, 0x46};
}  // namespace
const Guid kAppointment = make_guid(0x00062002, 0, 0, kMapiTail);
const Guid kTask = make_guid(0x00062003, 0, 0, kMapiTail);
const Guid kAddress = make_guid(0x00062004, 0, 0, kMapiTail);
const Guid kCommon = make_guid(0x00062008, 0, 0, kMapiTail);
const Guid kLog = make_guid(0x0006200A, 0, 0, kMapiTail);
const Guid kNote = make_guid(0x0006200E, 0, 0, kMapiTail);
const Guid kMeeting =
    make_guid(0x6ED8DA90, 0x450B, 0x101B, {0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05});
const Guid kPublicStrings = make_guid(0x00020329, 0, 0, kMapiTail);
const Guid kInternetHeaders = make_guid(0x00020386, 0, 0, kMapiTail);
}  // namespace property_set

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace ps = property_set;

constexpr std::uint16_t kPtMvUnicode = 0x101F;
constexpr std::uint16_t kPtMvSysTime = 0x1040;

constexpr std::array<std::u16string_view, 14> kWords = {
    u"quarterly", u"report", u"meeting", u"budget", u"café",   u"review", u"draft",
    u"über",      u"plan",   u"€ 120",   u"Zoë",    u"Müller", u"résumé", u"minutes"};
constexpr std::array<std::u16string_view, 8> kPeople = {
    u"Ann Smith", u"Bob Jones",   u"Chloé Dubois",  u"Dave Brown",
    u"Eve Novak", u"Frank Rossi", u"Günter Müller", u"Hana Lee"};

using Random = SampleRandom;

Bytes le16(std::uint16_t v) {
  Bytes b(2);
  pst::store_le16(b, 0, v);
  return b;
}
Bytes le32(std::uint32_t v) {
  Bytes b(4);
  pst::store_le32(b, 0, v);
  return b;
}
Bytes le64(std::uint64_t v) {
  Bytes b(8);
  pst::store_le64(b, 0, v);
  return b;
}

// A multi-valued value of variable-size elements: the count, each element's offset from the
// value's start, then the elements.
Bytes multi_value(const std::vector<Bytes>& elements) {
  Bytes out = le32(static_cast<std::uint32_t>(elements.size()));
  std::size_t at = 4 + 4 * elements.size();
  for (const auto& e : elements) {
    const Bytes o = le32(static_cast<std::uint32_t>(at));
    out.insert(out.end(), o.begin(), o.end());
    at += e.size();
  }
  for (const auto& e : elements) out.insert(out.end(), e.begin(), e.end());
  return out;
}

std::string ascii(std::u16string_view s) {
  std::string out;
  for (const char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '_');
  return out;
}

std::string address_of(std::u16string_view person) {
  std::string out;
  for (const char c : ascii(person))
    out.push_back(c == ' ' ? '.' : static_cast<char>(std::tolower(c)));
  return out + "@example.com";
}

// Properties as a file holds them; named ones get ids from 0x8000 on, as in a file of their
// own.
class Builder {
 public:
  explicit Builder(const TextCodec& codec) : codec_(codec) {}

  Builder& value(std::uint32_t tag, Bytes v) {
    list_.push_back({tag, std::nullopt, std::move(v)});
    return *this;
  }
  Builder& u32(std::uint32_t tag, std::uint32_t v) { return value(tag, le32(v)); }
  Builder& u64(std::uint32_t tag, std::uint64_t v) { return value(tag, le64(v)); }
  Builder& flag(std::uint32_t tag, bool v) { return value(tag, {static_cast<std::uint8_t>(v)}); }
  // 8-bit in the code page or UTF-16LE, as the tag's type says.
  Builder& text(std::uint32_t tag, std::u16string_view s) { return value(tag, encode(tag, s)); }

  Builder& named(const Guid& set, std::uint32_t lid, std::uint16_t type, Bytes v) {
    return add_named({set, lid, {}}, type, std::move(v));
  }
  Builder& named(const Guid& set, std::u16string name, std::uint16_t type, Bytes v) {
    return add_named({set, std::nullopt, std::move(name)}, type, std::move(v));
  }

  Bytes encode(std::uint32_t tag, std::u16string_view s) const {
    if ((tag & 0xFFFF) == pst::kPtUnicode) return to_utf16le(s);
    const std::string e = codec_.encode(s);
    return {e.begin(), e.end()};
  }

  ContentProperties take() { return std::move(list_); }

 private:
  Builder& add_named(PropertyName name, std::uint16_t type, Bytes v) {
    list_.push_back({pst::prop_tag(next_id_++, type), std::move(name), std::move(v)});
    return *this;
  }

  const TextCodec& codec_;
  ContentProperties list_;
  std::uint16_t next_id_ = 0x8000;
};

std::u16string words(Random& r, std::size_t count) {
  std::u16string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) out += (r.below(9) == 0 ? u"\r\n" : u" ");
    out += r.pick(kWords);
  }
  return out;
}

std::uint64_t sample_time(Random& r) {
  // Whole seconds between 2000 and 2025.
  return ole_date_to_filetime({36526.0 + r.below(9000) + r.below(86400) / 86400.0});
}

// An entry id of an address that no address book holds: the one-off form, with the name,
// the address type and the address.
Bytes one_off_entry_id(const TextCodec& codec, std::u16string_view name,
                       const std::string& address) {
  Bytes id(4, 0);
  const Bytes provider = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                          0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
  id.insert(id.end(), provider.begin(), provider.end());
  const Bytes version = {0x00, 0x00, 0x00, 0x01};
  id.insert(id.end(), version.begin(), version.end());
  for (const std::string& part : {codec.encode(name), std::string("SMTP"), address}) {
    id.insert(id.end(), part.begin(), part.end());
    id.push_back(0);
  }
  return id;
}

ContentProperties recipient(const TextCodec& codec, std::uint32_t type, std::u16string_view name,
                            std::uint32_t order) {
  const std::string address = address_of(name);
  const std::string search_key = "SMTP:" + address;
  Builder b(codec);
  b.u32(0x0C150003, type)
      .text(0x3001001E, name)
      .text(0x3002001E, u"SMTP")
      .value(0x3003001E, Bytes(address.begin(), address.end()))
      .value(0x0FFF0102, one_off_entry_id(codec, name, address))
      .value(0x300B0102, Bytes(search_key.begin(), search_key.end() + 1))
      .u32(0x0FFE0003, 6)
      .u32(0x39000003, 0)
      .flag(0x0E0F000B, true)
      .flag(0x3A40000B, false)
      .text(0x39FF001E, name)
      .text(0x5FF6001F, name)  // the recipient's name in UTF-16: a column beyond the template
      .u32(0x5FDF0003, order);
  return b.take();
}

std::u16string html_escaped(std::u16string_view s) {
  std::u16string out;
  for (const char16_t c : s) {
    if (c == u'<')
      out += u"&lt;";
    else if (c == u'>')
      out += u"&gt;";
    else if (c == u'&')
      out += u"&amp;";
    else if (c == u'\n')
      out += u"<br>";
    else if (c != u'\r')
      out += c;
  }
  return out;
}

std::string rtf_of(const TextCodec& codec, std::u16string_view body) {
  std::string out = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss Arial;}}\\f0\\fs20 ";
  for (const char c : codec.encode(body)) {
    const auto u = static_cast<unsigned char>(c);
    static constexpr char kHex[] = "0123456789abcdef";
    if (u >= 0x80) {
      out += "\\'";
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    } else if (c == '\n') {
      out += "\\par\r\n";
    } else if (c == '\\' || c == '{' || c == '}') {
      out += '\\';
      out += c;
    } else if (c != '\r') {
      out += c;
    }
  }
  return out + "}";
}

void common(Builder& b, Random& r, SampleKind kind, std::u16string_view subject,
            std::u16string_view body) {
  const std::uint64_t sent = sample_time(r);
  const std::u16string sender(r.pick(kPeople));
  const std::string address = address_of(sender);
  b.text(0x001A001E, sample_class(kind))
      .text(0x0037001E, subject)
      .text(0x1000001E, body)
      .u64(0x00390040, sent)
      .u64(0x0E060040, sent + 10'000'000ull * r.below(3600))
      .u64(0x30070040, sent + 10'000'000ull * 3600)
      .u64(0x30080040, sent + 10'000'000ull * 7200)
      .u32(0x00170003, r.below(3))
      .u32(0x00360003, 0)
      .u32(0x0E070003, 1)
      .text(0x0C1A001E, sender)
      .text(0x0C1E001E, u"SMTP")
      .value(0x0C1F001E, Bytes(address.begin(), address.end()))
      .text(0x0042001E, sender)
      .text(0x0064001E, u"SMTP")
      .value(0x0065001E, Bytes(address.begin(), address.end()))
      .u32(0x10800003, 0xFFFFFFFF)
      // The code page of the 8-bit texts, as a mail program keeps it with every message:
      // readers label and convert the texts by it.
      .u32(0x3FFD0003, 1252)
      // What the store of the item's source kept for itself, to be left out when written.
      .value(0x0FFF0102, r.bytes(24))
      .value(0x0FF90102, r.bytes(16))
      .u32(0x0E080003, 12345)
      .named(ps::kPublicStrings, u"Keywords", pst::kPtMvString8,
             multi_value({b.encode(0x001E, u"Büro"), b.encode(0x001E, u"Privé")}))
      .named(ps::kCommon, 0x8503, pst::kPtBoolean, {1})    // reminder set
      .named(ps::kCommon, 0x8501, pst::kPtLong, le32(15))  // reminder minutes before
      .named(ps::kCommon, 0x8560, pst::kPtSysTime, le64(sent - 10'000'000ull * 900));
}

// A named property of every type the file stores, by string name.
void every_type(Builder& b, Random& r) {
  const auto named = [&](std::u16string name, std::uint16_t type, Bytes v) {
    b.named(ps::kPublicStrings, std::move(name), type, std::move(v));
  };
  named(u"SampleShort", pst::kPtShort, le16(static_cast<std::uint16_t>(r.below(65536))));
  named(u"SampleFloat", pst::kPtFloat, le32(std::bit_cast<std::uint32_t>(2.5f)));
  named(u"SampleDouble", pst::kPtDouble, le64(std::bit_cast<std::uint64_t>(3.14159)));
  named(u"SampleCurrency", pst::kPtCurrency, le64(1234567));
  named(u"SampleAppTime", pst::kPtAppTime, le64(std::bit_cast<std::uint64_t>(44000.5)));
  named(u"SampleError", pst::kPtError, le32(0x8004010F));
  named(u"SampleLongLong", pst::kPtLongLong, le64(0x0123456789ABCDEFull));
  named(u"SampleClsid", pst::kPtClsid, r.bytes(16));
  named(u"SampleUnicode", pst::kPtUnicode, to_utf16le(u"Grüße — 東京 €"));
  named(u"SampleBinary", pst::kPtBinary, r.bytes(40));
  named(u"SampleLargeBinary", pst::kPtBinary, r.bytes(5000));
  named(u"SampleMvLong", pst::kPtMvLong, [] {
    Bytes v;
    for (std::uint32_t x : {1u, 22u, 333u}) {
      const Bytes e = le32(x);
      v.insert(v.end(), e.begin(), e.end());
    }
    return v;
  }());
  named(u"SampleMvUnicode", kPtMvUnicode, multi_value({to_utf16le(u"één"), to_utf16le(u"twee")}));
  named(u"SampleMvBinary", pst::kPtMvBinary, multi_value({r.bytes(3), r.bytes(7)}));
  named(u"SampleMvSysTime", kPtMvSysTime, [&] {
    Bytes v = le64(sample_time(r));
    const Bytes second = le64(sample_time(r));
    v.insert(v.end(), second.begin(), second.end());
    return v;
  }());
  b.named(ps::kInternetHeaders, u"x-mailer", pst::kPtString8, b.encode(0x001E, u"Pstorian sample"));
}

// A message read from a file says in its flags whether it has attachments.
void with_attachment_flag(MessageContent& m) {
  if (m.attachments.empty()) return;
  for (auto& p : m.properties)
    if (p.tag == 0x0E070003) p.value = le32(pst::load_le32(p.value, 0) | 0x10);
}

AttachmentContent by_value(const TextCodec& codec, std::u16string_view long_name,
                           std::u16string_view short_name, std::u16string_view mime, Bytes data) {
  Builder b(codec);
  const auto dot = long_name.rfind(u'.');
  b.u32(0x37050003, 1)
      .text(0x3001001E, long_name)
      .text(0x3704001E, short_name)
      .text(0x3707001E, long_name)
      .text(0x3703001E, dot == std::u16string_view::npos ? u"" : long_name.substr(dot))
      .text(0x370E001E, mime)
      .u32(0x370B0003, 0xFFFFFFFF)
      .flag(0x7FFE000B, false)
      .value(0x37010102, std::move(data));
  return {b.take(), nullptr};
}

AttachmentContent by_reference(const TextCodec& codec) {
  Builder b(codec);
  b.u32(0x37050003, 4)  // by reference only
      .text(0x3001001E, u"Résumé 2024.doc")
      .text(0x3704001E, u"RESUME~1.DOC")
      .text(0x3707001E, u"Résumé 2024.doc")
      .text(0x3708001E, u"\\\\fileserver\\public\\RESUME~1.DOC")
      .text(0x370D001E, u"\\\\fileserver\\public\\Résumé 2024.doc")
      .u32(0x370B0003, 0xFFFFFFFF);
  return {b.take(), nullptr};
}

AttachmentContent ole_object(const TextCodec& codec, Random& r) {
  Bytes storage = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  const Bytes rest = r.bytes(3000);
  storage.insert(storage.end(), rest.begin(), rest.end());
  Builder b(codec);
  b.u32(0x37050003, 6)
      .text(0x3001001E, u"Picture (Device Independent Bitmap)")
      .text(0x3704001E, u"Picture (Device Independent Bitmap)")
      .value(0x370A0102, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x14, 0x03, 0x0A, 0x03, 0x02, 0x01})
      .value(0x37090102, r.bytes(200))
      .u32(0x370B0003, 0)
      .value(0x3701000D, std::move(storage));
  return {b.take(), nullptr};
}

AttachmentContent embedded(const TextCodec& codec, std::shared_ptr<const MessageContent> message,
                           std::u16string_view name) {
  Builder b(codec);
  b.u32(0x37050003, 5).text(0x3001001E, name).u32(0x370B0003, 0xFFFFFFFF);
  return {b.take(), std::move(message)};
}

// A forwarded message with a file, and inside it a message with a file of its own.
std::shared_ptr<const MessageContent> nested_message(const TextCodec& codec, Random& r) {
  auto inner = std::make_shared<MessageContent>();
  {
    Builder b(codec);
    common(b, r, SampleKind::kMail, u"Minutes of the café meeting", words(r, 40));
    inner->properties = b.take();
    inner->recipients.push_back(recipient(codec, 1, kPeople[2], 0));
    inner->attachments.push_back(
        by_value(codec, u"Zahlen für 2024.csv", u"ZAHLEN~1.CSV", u"text/csv",
                 Bytes{'a', ';', 'b', '\r', '\n', '1', ';', '2', '\r', '\n'}));
    with_attachment_flag(*inner);
  }
  auto outer = std::make_shared<MessageContent>();
  Builder b(codec);
  common(b, r, SampleKind::kMail, u"FW: Plans für Q3", words(r, 60));
  outer->properties = b.take();
  outer->recipients.push_back(recipient(codec, 1, kPeople[0], 0));
  outer->recipients.push_back(recipient(codec, 2, kPeople[5], 1));
  outer->attachments.push_back(by_value(codec, u"Notizen.txt", u"NOTIZEN.TXT", u"text/plain",
                                        b.encode(0x001E, u"Notizen über Zoë und €")));
  outer->attachments.push_back(embedded(codec, std::move(inner), u"Minutes of the café meeting"));
  with_attachment_flag(*outer);
  return outer;
}

void mail_parts(Builder& b, Random& r, const TextCodec& codec, std::u16string_view body) {
  const std::string html =
      codec.encode(u"<html><body><p>" + html_escaped(body) + u"</p></body></html>");
  b.value(0x10130102, Bytes(html.begin(), html.end()))
      .value(0x10090102, compress_rtf(rtf_of(codec, body)))
      .flag(0x0E1F000B, true)
      .u32(0x3FDE0003, 1252)
      .text(0x1035001E, u"<sample." + std::u16string(1, static_cast<char16_t>(u'a' + r.below(26))) +
                            u"@example.com>");
}

MessageContent item(std::uint32_t seed, std::size_t index, std::u16string_view subject,
                    const TextCodec& codec) {
  Random r(seed * 104729u + static_cast<std::uint32_t>(index));
  const SampleKind kind = sample_kind(index);
  const std::u16string body = words(r, 20 + r.below(200));
  const std::uint64_t start = sample_time(r);
  const std::uint64_t hour = 10'000'000ull * 3600;
  MessageContent m;
  Builder b(codec);
  common(b, r, kind, subject, body);
  switch (kind) {
    case SampleKind::kMail: {
      mail_parts(b, r, codec, body);
      every_type(b, r);
      for (std::uint32_t type = 1; type <= 3; ++type)
        for (std::uint32_t k = 0; k < (type == 1 ? 2u : 1u); ++k)
          m.recipients.push_back(recipient(codec, type, r.pick(kPeople),
                                           static_cast<std::uint32_t>(m.recipients.size())));
      if (index % (10 * kSampleKinds) == 0) {
        m.attachments.push_back(by_value(codec, u"Rechnung €.txt", u"RECHNU~1.TXT", u"text/plain",
                                         b.encode(0x001E, words(r, 50))));
        m.attachments.push_back(
            by_value(codec, u"photo.jpg", u"PHOTO.JPG", u"image/jpeg", r.bytes(20000)));
        if (index == 0)
          m.attachments.push_back(by_value(codec, u"archive.bin", u"ARCHIVE.BIN",
                                           u"application/octet-stream",
                                           r.bytes(kSampleLargeAttachment)));
        m.attachments.push_back(by_reference(codec));
        m.attachments.push_back(ole_object(codec, r));
        m.attachments.push_back(embedded(codec, nested_message(codec, r), u"FW: Plans für Q3"));
      }
      break;
    }
    case SampleKind::kPost: {
      // The thread's topic: the subject without a prefix such as "RE: ".
      const auto colon = subject.find(u": ");
      const auto topic =
          colon != std::u16string_view::npos && colon <= 3 ? subject.substr(colon + 2) : subject;
      b.text(0x0070001E, topic).text(0x0E1D001E, topic);
      break;
    }
    case SampleKind::kReport:
      b.text(0x0049001E, u"Sommerfest im Café")
          .text(0x1001001E, u"Your message could not be delivered to Zoë.")
          .u32(0x0C040003, 1);  // NDR reason
      m.recipients.push_back(recipient(codec, 1, r.pick(kPeople), 0));
      break;
    case SampleKind::kMeetingRequest:
      b.named(ps::kMeeting, 0x0003, pst::kPtBinary, r.bytes(56))  // global object id
          .named(ps::kMeeting, 0x0023, pst::kPtBinary, r.bytes(56));
      m.recipients.push_back(recipient(codec, 1, r.pick(kPeople), 0));
      m.recipients.push_back(recipient(codec, 2, r.pick(kPeople), 1));
      m.recipients.push_back(recipient(codec, 3, u"Salle de réunion", 2));
      [[fallthrough]];
    case SampleKind::kAppointment:
      b.named(ps::kAppointment, 0x820D, pst::kPtSysTime, le64(start))
          .named(ps::kAppointment, 0x820E, pst::kPtSysTime, le64(start + hour))
          .named(ps::kAppointment, 0x8205, pst::kPtLong, le32(2))  // busy
          .named(ps::kAppointment, 0x8208, pst::kPtString8, b.encode(0x001E, u"Café Müller"))
          .named(ps::kAppointment, 0x8215, pst::kPtBoolean, {0})  // all day
          .named(ps::kAppointment, 0x8217, pst::kPtLong,
                 le32(kind == SampleKind::kAppointment ? 0 : 3));
      break;
    case SampleKind::kContact: {
      const std::u16string person(r.pick(kPeople));
      const std::string address = address_of(person);
      b.text(0x3001001E, person)
          .text(0x3A06001E, person.substr(0, person.find(u' ')))
          .text(0x3A11001E, person.substr(person.find(u' ') + 1))
          .text(0x3A16001E, u"Société Générale")
          .text(0x3A08001E, u"+33 1 23 45 67 89")
          .u64(0x3A420040, sample_time(r))
          .named(ps::kAddress, 0x8083, pst::kPtString8, Bytes(address.begin(), address.end()))
          .named(ps::kAddress, 0x8080, pst::kPtString8, b.encode(0x001E, person))
          .named(ps::kAddress, 0x8082, pst::kPtString8, b.encode(0x001E, u"SMTP"))
          .named(ps::kAddress, 0x8005, pst::kPtString8, b.encode(0x001E, person));
      break;
    }
    case SampleKind::kDistList:
      b.text(0x3001001E, u"Équipe Zürich")
          .named(ps::kAddress, 0x8053, pst::kPtString8, b.encode(0x001E, u"Équipe Zürich"))
          .named(ps::kAddress, 0x8054, pst::kPtMvBinary,
                 multi_value({one_off_entry_id(codec, kPeople[1], address_of(kPeople[1])),
                              one_off_entry_id(codec, kPeople[6], address_of(kPeople[6]))}))
          .named(ps::kAddress, 0x8055, pst::kPtMvBinary,
                 multi_value({one_off_entry_id(codec, kPeople[1], address_of(kPeople[1])),
                              one_off_entry_id(codec, kPeople[6], address_of(kPeople[6]))}))
          .named(ps::kAddress, 0x804C, pst::kPtLong, le32(r.below(0xFFFF)));
      break;
    case SampleKind::kTask:
      b.named(ps::kTask, 0x8101, pst::kPtLong, le32(1))  // in progress
          .named(ps::kTask, 0x8102, pst::kPtDouble, le64(std::bit_cast<std::uint64_t>(0.25)))
          .named(ps::kTask, 0x8104, pst::kPtSysTime, le64(start))
          .named(ps::kTask, 0x8105, pst::kPtSysTime, le64(start + 48 * hour))
          .named(ps::kTask, 0x811C, pst::kPtBoolean, {0});
      break;
    case SampleKind::kJournal:
      b.named(ps::kLog, 0x8700, pst::kPtString8, b.encode(0x001E, u"Phone call"))
          .named(ps::kLog, 0x8712, pst::kPtString8, b.encode(0x001E, u"Appel téléphonique"))
          .named(ps::kLog, 0x8706, pst::kPtSysTime, le64(start))
          .named(ps::kLog, 0x8708, pst::kPtSysTime, le64(start + hour / 4))
          .named(ps::kLog, 0x8707, pst::kPtLong, le32(15));
      break;
    case SampleKind::kStickyNote:
      b.named(ps::kNote, 0x8B00, pst::kPtLong, le32(3))  // yellow
          .named(ps::kNote, 0x8B02, pst::kPtLong, le32(200))
          .named(ps::kNote, 0x8B03, pst::kPtLong, le32(166))
          .named(ps::kNote, 0x8B04, pst::kPtLong, le32(80))
          .named(ps::kNote, 0x8B05, pst::kPtLong, le32(40));
      break;
  }
  m.properties = b.take();
  with_attachment_flag(m);
  return m;
}

}  // namespace

SampleKind sample_kind(std::size_t index) {
  return static_cast<SampleKind>(index % kSampleKinds);
}

namespace {

struct KindDescription {
  std::u16string_view message_class;
  std::int32_t folder_type;
};

// By SampleKind.
constexpr std::array<KindDescription, kSampleKinds> kKinds = {{
    {u"IPM.Note", automation::kFolderMail},
    {u"IPM.Post", automation::kFolderMail},
    {u"REPORT.IPM.Note.NDR", automation::kFolderMail},
    {u"IPM.Appointment", automation::kFolderCalendar},
    {u"IPM.Schedule.Meeting.Request", automation::kFolderCalendar},
    {u"IPM.Contact", automation::kFolderContacts},
    {u"IPM.DistList", automation::kFolderContacts},
    {u"IPM.Task", automation::kFolderTasks},
    {u"IPM.Activity", automation::kFolderJournal},
    {u"IPM.StickyNote", automation::kFolderNotes},
}};

}  // namespace

std::u16string_view sample_class(SampleKind kind) {
  return kKinds.at(static_cast<std::size_t>(kind)).message_class;
}

std::int32_t sample_folder_type(SampleKind kind) {
  return kKinds.at(static_cast<std::size_t>(kind)).folder_type;
}

std::shared_ptr<const MessageContent> sample_item(std::uint32_t seed, std::size_t index,
                                                  std::u16string_view subject) {
  const TextCodec codec("WINDOWS-1252");
  return std::make_shared<const MessageContent>(item(seed, index, subject, codec));
}

ContentProperties sample_folder_properties(std::uint32_t seed, std::size_t index,
                                           std::int32_t type) {
  const TextCodec codec("WINDOWS-1252");
  Random r(seed * 7u + static_cast<std::uint32_t>(index));
  Builder b(codec);
  b.text(0x3004001E, u"Dossier für " + std::u16string(r.pick(kWords)))
      .named(ps::kPublicStrings, u"FolderColour", pst::kPtLong, le32(r.below(8)))
      .named(ps::kCommon, 0x8510, pst::kPtLong, le32(static_cast<std::uint32_t>(type)))
      // What the other store kept for itself, to be left alone.
      .text(0x3001001E, u"Not the folder's name")
      .u32(0x36020003, 4711)
      .flag(0x360A000B, true);
  return b.take();
}

}  // namespace pstorian
