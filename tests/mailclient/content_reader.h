// Reads messages of a store back into MessageContent with the mail client's own reader
// (ltp_reader over StoreFile): the properties (named ones with their names from the store's
// map), the recipient rows and the attachments in table order, embedded messages whole and
// object data read from its subnode. What a store makes for itself (row ids and versions)
// is left out of the rows, so that what was written compares with what was given.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "format/endian.h"
#include "format/layout.h"
#include "format/property_types.h"
#include "pst/ltp/ltp_reader.h"
#include "pst/messaging/content_import.h"
#include "pst/messaging/message_content.h"
#include "pst/messaging/name_to_id_map.h"
#include "pst/ndb/store_file.h"

namespace pstorian::test {

class ContentReader {
 public:
  explicit ContentReader(const StoreFile& file) : file_(file) {
    const NbtEntry* map = file.find_node(pst::kNidNameToIdMap);
    names_ = map ? NameToIdMap(properties(map->bid_data, map->bid_sub)) : NameToIdMap();
  }

  const NameToIdMap& names() const { return names_; }

  MessageContent message(std::uint32_t nid) const {
    const NbtEntry* node = file_.find_node(nid);
    if (node == nullptr) throw std::runtime_error("no such message");
    return message(node->bid_data, node->bid_sub, 0);
  }

  // The properties of a node's PC (a folder's, a message's), named ones with their names.
  ContentProperties object(std::uint32_t nid) const {
    const NbtEntry* node = file_.find_node(nid);
    if (node == nullptr) throw std::runtime_error("no such node");
    return named(properties(node->bid_data, node->bid_sub));
  }

  // The properties of a PC as stored.
  std::vector<StoredProperty> properties(std::uint32_t bid_data, std::uint32_t bid_sub) const {
    const auto subnodes = file_.read_subnodes(bid_sub);
    return read_property_context(HeapView(file_.read_data(bid_data)), [&](std::uint32_t sub) {
      return file_.read_bytes(subnodes.at(sub).bid_data);
    });
  }

 private:
  ContentProperties named(const std::vector<StoredProperty>& list) const {
    ContentProperties out;
    for (const auto& p : list) {
      ContentProperty c{p.tag, std::nullopt, p.value};
      if (pst::tag_id(p.tag) >= 0x8000) c.name = names_.name_of(pst::tag_id(p.tag));
      out.push_back(std::move(c));
    }
    return out;
  }

  TableContents table(const SubnodeEntry& entry) const {
    const auto subnodes = file_.read_subnodes(entry.bid_sub);
    return read_table_context(HeapView(file_.read_data(entry.bid_data)), [&](std::uint32_t sub) {
      // A row matrix keeps whole rows in each block.
      std::vector<std::uint8_t> out;
      for (const auto& leaf : file_.read_data(subnodes.at(sub).bid_data))
        out.insert(out.end(), leaf.begin(), leaf.end());
      return out;
    });
  }

  static std::vector<StoredProperty> without_row_ids(std::vector<StoredProperty> row) {
    std::erase_if(
        row, [](const StoredProperty& p) { return p.tag == 0x67F20003 || p.tag == 0x67F30003; });
    return row;
  }

  MessageContent message(std::uint32_t bid_data, std::uint32_t bid_sub, int depth) const {
    if (depth > 16) throw std::runtime_error("embedded too deep");
    MessageContent m;
    m.properties = named(properties(bid_data, bid_sub));
    const auto subnodes = file_.read_subnodes(bid_sub);
    if (const auto it = subnodes.find(0x692); it != subnodes.end())
      for (auto& row : table(it->second).rows)
        m.recipients.push_back(named(without_row_ids(std::move(row))));
    const auto at = subnodes.find(0x671);
    if (at == subnodes.end()) return m;
    for (const auto& row : table(at->second).rows) {
      std::uint32_t nid = 0;
      for (const auto& p : row)
        if (p.tag == 0x67F20003) nid = pst::load_le32(p.value, 0);
      m.attachments.push_back(attachment(subnodes.at(nid), depth));
    }
    return m;
  }

  AttachmentContent attachment(const SubnodeEntry& entry, int depth) const {
    AttachmentContent a;
    const auto subnodes = file_.read_subnodes(entry.bid_sub);
    const auto props = properties(entry.bid_data, entry.bid_sub);
    std::uint32_t method = 0;
    for (const auto& p : props)
      if (p.tag == 0x37050003) method = pst::load_le32(p.value, 0);
    for (auto& c : named(props)) {
      if (c.type() == pst::kPtObject) {
        const auto& object = subnodes.at(pst::load_le32(c.value, 0));
        if (method == 5 && c.id() == 0x3701) {
          a.embedded =
              std::make_shared<MessageContent>(message(object.bid_data, object.bid_sub, depth + 1));
          continue;
        }
        c.value = file_.read_bytes(object.bid_data);
      }
      a.properties.push_back(std::move(c));
    }
    return a;
  }

  const StoreFile& file_;
  NameToIdMap names_;
};

// The properties of `given` that a store keeps (see content_import.h), by id or by name.
inline bool kept(const ContentProperty& p, ContentObject object) {
  if (p.name) return true;
  return p.id() < 0x8000 && !store_owned(p.id(), object);
}

// Finds `wanted` in `list`: by name when it has one, else by tag.
inline const ContentProperty* find_property(const ContentProperties& list,
                                            const ContentProperty& wanted) {
  for (const auto& p : list) {
    if (wanted.name ? (p.name == wanted.name && p.type() == wanted.type()) : p.tag == wanted.tag)
      return &p;
  }
  return nullptr;
}

inline std::string describe(const ContentProperty& p) {
  char tag[16];
  std::snprintf(tag, sizeof tag, "0x%08X", p.tag);
  std::string out = tag;
  if (p.name && p.name->lid) out += " lid " + std::to_string(*p.name->lid);
  if (p.name && !p.name->lid)
    out += " named " + std::string(p.name->name.begin(), p.name->name.end());
  return out;
}

// Every property of `given` that a store keeps comes back in `got` with its bytes (what the
// store makes for itself may come back with the store's own values).
inline void expect_properties(const ContentProperties& given, const ContentProperties& got,
                              ContentObject object, const std::string& where) {
  for (const auto& p : given) {
    if (!kept(p, object)) continue;
    const ContentProperty* back = find_property(got, p);
    if (back == nullptr) {
      ADD_FAILURE() << where << ": " << describe(p) << " missing";
      continue;
    }
    EXPECT_EQ(back->value, p.value) << where << ": " << describe(p);
  }
}

inline void expect_content(const MessageContent& given, const MessageContent& got,
                           const std::string& where = "message") {
  expect_properties(given.properties, got.properties, ContentObject::kMessage, where);
  ASSERT_EQ(got.recipients.size(), given.recipients.size()) << where;
  for (std::size_t i = 0; i < given.recipients.size(); ++i)
    expect_properties(given.recipients[i], got.recipients[i], ContentObject::kRecipient,
                      where + " recipient " + std::to_string(i));
  ASSERT_EQ(got.attachments.size(), given.attachments.size()) << where;
  for (std::size_t i = 0; i < given.attachments.size(); ++i) {
    const std::string at = where + " attachment " + std::to_string(i);
    ContentProperties without_object;
    for (const auto& p : given.attachments[i].properties)
      if (!(given.attachments[i].embedded && p.id() == 0x3701)) without_object.push_back(p);
    expect_properties(without_object, got.attachments[i].properties, ContentObject::kAttachment,
                      at);
    ASSERT_EQ(got.attachments[i].embedded != nullptr, given.attachments[i].embedded != nullptr)
        << at;
    if (given.attachments[i].embedded)
      expect_content(*given.attachments[i].embedded, *got.attachments[i].embedded,
                     at + " embedded");
  }
}

}  // namespace pstorian::test
