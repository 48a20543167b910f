// Everything one message holds, in the form in which a store keeps it: its properties, the
// rows of its recipient table, and its attachments, each with its own properties and, for an
// embedded message, that message whole. A repair reads this from a damaged file and hands it
// to the mail client, which writes it into the output store as it stands.
//
// Values are the bytes as stored (little-endian numbers, 8-bit strings in the store's code
// page without a terminating zero, UTF-16LE strings, binaries, multi-valued layouts as the
// format defines them), so that nothing is converted on the way. A PT_OBJECT value of an
// attachment (an OLE object's storage) is the object's data, which the writer stores in a
// subnode of its own. Properties that belong to a store (entry ids, record keys, parent and
// store ids) are the writer's to make; the writer leaves out those it is given.
//
// Named properties (ids 0x8000 and above) are carried by name: the id they had in the file
// they came from means nothing in another store, which maps the name to an id of its own.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pstorian {

// The name of a named property: its property set and a number or a string.
struct PropertyName {
  std::array<std::uint8_t, 16> guid{};  // as stored (the GUID structure's byte order)
  std::optional<std::uint32_t> lid;     // a numeric name
  std::u16string name;                  // a string name, when there is no number

  friend auto operator<=>(const PropertyName&, const PropertyName&) = default;
};

struct ContentProperty {
  // The stored tag: the property id in the high 16 bits, the type in the low 16. For a
  // named property the id is that of the file the value came from; `name` is what counts.
  std::uint32_t tag = 0;
  std::optional<PropertyName> name;
  std::vector<std::uint8_t> value;

  std::uint16_t type() const { return static_cast<std::uint16_t>(tag & 0xFFFF); }
  std::uint16_t id() const { return static_cast<std::uint16_t>(tag >> 16); }
};

using ContentProperties = std::vector<ContentProperty>;

struct MessageContent;

struct AttachmentContent {
  // PR_ATTACH_METHOD says which kind: by value (the data in PR_ATTACH_DATA_BIN, 0x37010102),
  // by reference (a path), an OLE object, or an embedded message (method 5), whose message
  // is `embedded` and whose PR_ATTACH_DATA_OBJ is left for the writer to make.
  ContentProperties properties;
  std::shared_ptr<const MessageContent> embedded;
};

struct MessageContent {
  ContentProperties properties;
  std::vector<ContentProperties> recipients;  // the rows of the recipient table
  std::vector<AttachmentContent> attachments;  // in attachment table order
};

}  // namespace pstorian
