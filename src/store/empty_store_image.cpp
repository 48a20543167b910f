#include "store/empty_store_image.h"

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "format/endian.h"
#include "format/layout.h"
#include "format/property_types.h"
#include "pst/ndb/block_writer.h"
#include "pst/ndb/btree_page.h"
#include "pst/ltp/property_context_writer.h"
#include "pst/ndb/store_image_builder.h"
#include "pst/ltp/table_context_writer.h"
#include "pst/messaging/name_to_id_map.h"
#include "store/empty_store_description.h"

namespace pstorian {
namespace {

using namespace empty_store;
using Bytes = std::vector<std::uint8_t>;
using Properties = std::vector<StoredProperty>;

constexpr std::uint32_t kTagDisplayName = 0x3001001E;
constexpr std::uint32_t kTagComment = 0x3004001E;
constexpr std::uint32_t kTagContentCount = 0x36020003;
constexpr std::uint32_t kTagContentUnreadCount = 0x36030003;
constexpr std::uint32_t kTagSubfolders = 0x360A000B;
constexpr std::uint32_t kTagContainerClass = 0x3613001E;

// Entry id of a folder of this store: 4 flag bytes of 0, the record key, the node id.
Bytes entry_id(std::uint32_t nid) {
  Bytes id(24, 0);
  std::copy(kRecordKey.begin(), kRecordKey.end(), id.begin() + 4);
  pst::store_le32(id, 20, nid);
  return id;
}

Bytes le32_array(std::span<const std::uint32_t> values) {
  Bytes out(values.size() * 4);
  for (std::size_t i = 0; i < values.size(); ++i) pst::store_le32(out, 4 * i, values[i]);
  return out;
}

// A GUID in its stored form: the first three groups little-endian, the last eight bytes as
// written.
Bytes guid_bytes(std::string_view text) {
  std::string hex;
  for (const char c : text)
    if (c != '-') hex += c;
  Bytes raw;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    raw.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return {raw[3], raw[2], raw[1],  raw[0],  raw[5],  raw[4],  raw[7],  raw[6],
          raw[8], raw[9], raw[10], raw[11], raw[12], raw[13], raw[14], raw[15]};
}

// A text in the string type of the form: 8-bit in the 32-bit form, PT_UNICODE in the other.
StoredProperty text(std::uint32_t tag, std::string_view value, FileForm form) {
  return form == FileForm::kUnicode ? StoredProperty::unicode(tag, value)
                                    : StoredProperty::string8(tag, value);
}

Properties folder_properties(const FolderDescription& f, FileForm form) {
  Properties p = {
      text(kTagDisplayName, f.name, form),
      StoredProperty::int32(kTagContentCount, 0),
      StoredProperty::int32(kTagContentUnreadCount, 0),
      StoredProperty::boolean(kTagSubfolders, f.subfolders),
  };
  if (f.has_comment) p.push_back(text(kTagComment, f.comment, form));
  if (!f.container_class.empty())
    p.push_back(text(kTagContainerClass, f.container_class, form));
  if (f.special_folder_ids) {
    const std::pair<std::uint32_t, std::uint32_t> ids[] = {
        {0x36D00102, kCalendar}, {0x36D10102, kContacts}, {0x36D20102, kJournal},
        {0x36D30102, kNotes},    {0x36D40102, kTasks},    {0x36D50102, kReminders},
        {0x36D70102, kDrafts}};
    for (const auto& [tag, nid] : ids) p.push_back(StoredProperty::binary(tag, entry_id(nid)));
  }
  return p;
}

Properties message_store_properties(FileForm form) {
  Properties p = {
      StoredProperty::binary(0x0FF90102, kRecordKey),
      text(0x3001001E, kStoreDisplayName, form),
      StoredProperty::int32(0x35DF0003, 0xFF),  // every special folder below is valid
      StoredProperty::int32(0x67FF0003, 0),     // no password
  };
  const std::pair<std::uint32_t, std::uint32_t> ids[] = {
      {0x35E00102, kIpmSubtree}, {0x35E20102, kOutbox}, {0x35E30102, kDeletedItems},
      {0x35E40102, kSentItems},  {0x35E50102, kViews},  {0x35E60102, kCommonViews},
      {0x35E70102, kSearchRoot}};
  for (const auto& [tag, nid] : ids) p.push_back(StoredProperty::binary(tag, entry_id(nid)));
  return p;
}

// The name-to-id map, built as the store adds names, so that its streams and buckets are
// those the store reads.
Properties name_to_id_map_properties() {
  NameToIdMap map;
  const auto guids = named_property_guids();
  for (const auto& n : named_properties()) {
    PropertyName name;
    if (n.guid_index == 2) {
      name.guid = kPsPublicStrings;
    } else {
      const Bytes g = guid_bytes(guids[n.guid_index - 3]);
      std::copy(g.begin(), g.end(), name.guid.begin());
    }
    if (n.name.empty())
      name.lid = n.id;
    else
      name.name.assign(n.name.begin(), n.name.end());
    map.id_for(name);
  }
  return map.properties();
}

Properties search_criteria_properties() {
  const Bytes folders = le32_array(kReminderFolders);
  return {
      StoredProperty::binary(0x66080102, reminder_restriction()),
      StoredProperty::binary(0x66090102, folders),
      StoredProperty::binary(0x660A0102, folders),
      StoredProperty::int32(0x660B0003, 1),
      StoredProperty::int32(0x660C0003, 0x80030000),
      StoredProperty::boolean(0x8001000B, true),
      StoredProperty::boolean(0x8002000B, true),
  };
}

std::vector<TableRow> hierarchy_rows(std::uint32_t parent, FileForm form) {
  std::vector<TableRow> rows;
  for (const auto& f : folders()) {
    if (f.parent != parent || f.nid == parent) continue;
    TableRow row = {
        StoredProperty::int32(kTagLtpRowId, f.nid),
        StoredProperty::int32(kTagLtpRowVer, f.row_version),
        text(kTagDisplayName, f.name, form),
        StoredProperty::int32(kTagContentCount, 0),
        StoredProperty::int32(kTagContentUnreadCount, 0),
        StoredProperty::boolean(kTagSubfolders, f.subfolders),
    };
    if (!f.container_class.empty())
      row.push_back(text(kTagContainerClass, f.container_class, form));
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<TableRow> table_rows(TableRows which, FileForm form) {
  switch (which) {
    case TableRows::kRootHierarchy:
      return hierarchy_rows(0x122, form);
    case TableRows::kIpmHierarchy:
      return hierarchy_rows(kIpmSubtree, form);
    case TableRows::kReceiveFolders: {
      std::vector<TableRow> rows;
      for (const auto& r : receive_folders())
        rows.push_back({StoredProperty::int32(kTagLtpRowId, r.row_id),
                        StoredProperty::int32(kTagLtpRowVer, r.row_version),
                        StoredProperty::int32(0x66050003, r.folder),
                        text(0x001A001E, r.message_class, form)});
      return rows;
    }
    case TableRows::kNone:
      break;
  }
  return {};
}

// The columns of a table in the string type of the form.
std::vector<TableColumn> columns_in(std::span<const TableColumn> columns, FileForm form) {
  std::vector<TableColumn> out(columns.begin(), columns.end());
  if (form == FileForm::kUnicode)
    for (auto& c : out)
      if ((c.tag & 0x0FFF) == pst::kPtString8) c.tag = (c.tag & 0xFFFFF000u) | pst::kPtUnicode;
  return out;
}

// The 32-bit image puts every block and page where the description says; the 64-bit one
// keeps the ids and the order but, its structures being larger, lets the allocation map
// place them, and fills its B-tree leaves as full as they go.
class Assembler {
 public:
  explicit Assembler(FileForm form) : form_(form), builder_(kFileSize, form) {
    for (const auto& b : block_places()) places_[b.bid] = b.ib;
  }

  Bytes build() {
    const std::uint8_t row_number_size = static_cast<std::uint8_t>(layout_of(form_).row_index_size);
    for (const auto& t : tables())
      put_heap(t.block, build_table_context(columns_in(t.columns, form_), table_rows(t.rows, form_),
                                            row_number_size));
    for (const auto& f : folders()) add_folder(f);
    put_heap(kMessageStoreBlock, build_property_context(message_store_properties(form_)));
    put_heap(kNameToIdMapBlock, build_property_context(name_to_id_map_properties()));
    put_heap(kSearchCriteriaBlock, build_property_context(search_criteria_properties()));
    put(kSearchActivityBlock, le32_array(kSearchActivity));
    put(kSearchDomainBlock, le32_array(kSearchDomain));
    for (const auto& n : other_nodes()) builder_.add_node({n.nid, n.block, 0, 0});

    FileHeader header;
    if (form_ == FileForm::kUnicode) {
      write_unicode_trees();
    } else {
      auto& map = builder_.allocation_map();
      for (const auto& r : amap_allocated()) map.mark_allocated(r.first, r.last - r.first + 1);
      for (const auto ib : pmap_free_pages()) map.set_page_free(ib, true);
      builder_.put_page(kFreeBbtPage.ib, build_bbt_leaf({}, kFreeBbtPage));
      write_tree(bbt_plan(), true);
      write_tree(nbt_plan(), false);
    }
    header.bid_next_b = kBidNextB;
    header.bid_next_p = next_page_bid_;
    header.unique = kUnique;
    header.rgnid = last_node_indexes();
    header.fmap[0] = 0xFF;
    header.fpmap.fill(0xFF);
    header.fpmap[0] = 0x7F;
    return builder_.finish(header);
  }

 private:
  void put(std::uint32_t bid, std::span<const std::uint8_t> data) {
    if (!placed_.insert(bid).second) return;  // shared blocks are stored once
    if (form_ != FileForm::kUnicode) {
      builder_.add_block(bid, places_.at(bid), data);
      return;
    }
    const auto size = block_disk_size(static_cast<std::uint32_t>(data.size()), form_);
    builder_.add_block(bid, claim_free(size, pst::kBlockAlignment), data);
  }

  std::uint64_t claim_free(std::uint64_t size, std::uint64_t alignment) {
    auto& map = builder_.allocation_map();
    const auto at = map.find_free(size, alignment);
    if (!at) throw std::logic_error("the empty store does not fit its file");
    map.mark_allocated(*at, size);
    return *at;
  }

  void write_unicode_trees() {
    const PageSlotSource slots = [&] {
      return Bref{next_page_bid_++, claim_free(pst::kPageSize, pst::kPageSize)};
    };
    builder_.write_bbt({}, slots);
    builder_.write_nbt({}, slots);
  }

  void put_heap(std::uint32_t bid, const std::vector<Bytes>& heap) {
    if (heap.size() != 1) throw std::logic_error("empty store heaps fit one block");
    put(bid, heap.front());
  }

  void add_folder(const FolderDescription& f) {
    put_heap(f.property_block, build_property_context(folder_properties(f, form_)));
    builder_.add_node({f.nid, f.property_block, 0, f.parent});
    if (f.hierarchy_block == 0) return;  // the search folder's nodes are listed apart
    builder_.add_node({f.nid + 0xB, f.hierarchy_block, 0, 0});
    builder_.add_node({f.nid + 0xC, f.contents_block, 0, 0});
    builder_.add_node({f.nid + 0xD, f.associated_block, 0, 0});
  }

  void write_tree(const BTreePlan& plan, bool bbt) {
    std::size_t next = 0;
    const PageSlotSource slots = [&] {
      if (next == plan.slots.size()) throw std::logic_error("B-tree plan has too few pages");
      return plan.slots[next++];
    };
    if (bbt)
      builder_.write_bbt(plan.leaves, slots);
    else
      builder_.write_nbt(plan.leaves, slots);
    if (next != plan.slots.size()) throw std::logic_error("B-tree plan has unused pages");
  }

  FileForm form_;
  StoreImageBuilder builder_;
  std::uint64_t next_page_bid_ = kBidNextP;
  std::map<std::uint32_t, std::uint32_t> places_;
  std::set<std::uint32_t> placed_;
};

}  // namespace

std::span<const std::uint8_t> EmptyStoreImage(FileForm form) {
  if (form == FileForm::kUnicode) {
    static const Bytes unicode_image = Assembler(FileForm::kUnicode).build();
    return unicode_image;
  }
  static const Bytes image = Assembler(FileForm::kAnsi).build();
  return image;
}

}  // namespace pstorian
