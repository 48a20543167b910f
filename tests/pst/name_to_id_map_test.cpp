// The name-to-id map: reading the maps other writers made, adding names to the streams and
// hash buckets so that any reader finds them, and the maps that must not grow.
#include "pst/messaging/name_to_id_map.h"

#include <gtest/gtest.h>

#include "format/endian.h"
#include "format/layout.h"
#include "mailclient/mail_client_support.h"
#include "pst/ltp/ltp_reader.h"
#include "pst/messaging/text_codec.h"
#include "pst/ndb/store_file.h"

namespace pstorian {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::vector<StoredProperty> map_properties(const fs::path& file) {
  StoreFile store(file);
  const NbtEntry* node = store.find_node(pst::kNidNameToIdMap);
  const auto subnodes = store.read_subnodes(node->bid_sub);
  return read_property_context(HeapView(store.read_data(node->bid_data)), [&](std::uint32_t sub) {
    return store.read_bytes(subnodes.at(sub).bid_data);
  });
}

const Bytes& value(const std::vector<StoredProperty>& properties, std::uint32_t tag) {
  static const Bytes none;
  for (const auto& p : properties)
    if (p.tag == tag) return p.value;
  return none;
}

struct Record {
  std::uint32_t value;
  std::uint16_t word;
  std::uint16_t index;
};

std::vector<Record> records(const Bytes& stream) {
  std::vector<Record> out;
  for (std::size_t at = 0; at + 8 <= stream.size(); at += 8)
    out.push_back({pst::load_le32(stream, at), pst::load_le16(stream, at + 4),
                   pst::load_le16(stream, at + 6)});
  return out;
}

// The hash bucket that a reader looks in for `name` (the record as the entry stream has it)
// holds the record with the hash value in place of the string offset.
void expect_in_bucket(const std::vector<StoredProperty>& map, const Record& r,
                      const PropertyName& name) {
  const std::uint32_t buckets = pst::load_le32(value(map, 0x00010003), 0);
  const std::uint32_t hash = name.lid ? *name.lid : string_name_hash(name.name);
  const std::uint32_t bucket = (hash ^ r.word) % buckets;
  const auto in_bucket = records(value(map, (0x1000 + bucket) << 16 | 0x0102));
  EXPECT_TRUE(std::any_of(
      in_bucket.begin(), in_bucket.end(),
      [&](const Record& b) { return b.value == hash && b.word == r.word && b.index == r.index; }))
      << "index " << r.index;
}

TEST(NameToIdMap, MapsOfOtherWritersResolveEveryNameAndAgreeWithTheHashRule) {
  test::TempDir dir;
  const auto copies = test::corpus_copies(dir);
  if (copies.empty()) GTEST_SKIP() << "corpus not found";
  for (const auto& copy : copies) {
    SCOPED_TRACE(copy.filename().string());
    const auto properties = map_properties(copy);
    const NameToIdMap map(properties);
    const auto entries = records(value(properties, 0x00030102));
    EXPECT_EQ(map.size(), entries.size());
    for (const Record& r : entries) {
      const auto id = static_cast<std::uint16_t>(0x8000 + r.index);
      const auto name = map.name_of(id);
      ASSERT_TRUE(name) << r.index;
      EXPECT_EQ(map.find(*name), id);
      EXPECT_EQ(name->lid.has_value(), (r.word & 1) == 0);
      expect_in_bucket(properties, r, *name);
    }
    if (copy.filename() == "outlook2000-73-messages.pst") {
      EXPECT_EQ(map.find({kPsPublicStrings, std::nullopt, u"Keywords"}), 0x803B);
    }
  }
}

TEST(NameToIdMap, NewNamesGoIntoTheStreamsAndTheirBucketsAndReadBack) {
  test::TempDir dir;
  const auto file = test::empty_store(dir, "s.pst");
  NameToIdMap map(map_properties(file));
  const std::size_t before = map.size();
  const std::array<std::uint8_t, 16> own_set = {1, 2,  3,  4,  5,  6,  7,  8,
                                                9, 10, 11, 12, 13, 14, 15, 16};
  const PropertyName numeric{own_set, 0x8233, {}};
  // A new store names Keywords by string already, so that its string stream is a value.
  EXPECT_TRUE(map.find({kPsPublicStrings, std::nullopt, u"Keywords"}));
  const PropertyName keywords{kPsPublicStrings, std::nullopt, u"x-region"};
  const PropertyName odd{own_set, std::nullopt, u"Zoë"};  // 6 bytes: the next entry is padded
  const PropertyName after{own_set, std::nullopt, u"x-sample"};
  std::vector<std::uint16_t> ids;
  for (const auto& n : {numeric, keywords, odd, after}) ids.push_back(*map.id_for(n));
  EXPECT_EQ(ids, (std::vector<std::uint16_t>{static_cast<std::uint16_t>(0x8000 + before),
                                             static_cast<std::uint16_t>(0x8001 + before),
                                             static_cast<std::uint16_t>(0x8002 + before),
                                             static_cast<std::uint16_t>(0x8003 + before)}));
  EXPECT_EQ(map.id_for(keywords), ids[1]);  // once only
  EXPECT_TRUE(map.changed());

  const auto written = map.properties();
  const auto entries = records(value(written, 0x00030102));
  ASSERT_EQ(entries.size(), before + 4);
  const Bytes& guids = value(written, 0x00020102);
  const std::uint16_t own_index = static_cast<std::uint16_t>(guids.size() / 16 + 2);
  EXPECT_TRUE(std::equal(own_set.begin(), own_set.end(), guids.end() - 16));
  EXPECT_EQ(entries[before].value, 0x8233u);
  EXPECT_EQ(entries[before].word, own_index << 1);
  EXPECT_EQ(entries[before + 1].word, 2 << 1 | 1);
  EXPECT_EQ(entries[before + 2].word, own_index << 1 | 1);
  // Strings: a length, UTF-16LE, the next one at a multiple of 4.
  const Bytes& strings = value(written, 0x00040102);
  EXPECT_EQ(entries[before + 2].value, entries[before + 1].value + 4 + 16);
  EXPECT_EQ(pst::load_le32(strings, entries[before + 2].value), 6u);
  EXPECT_EQ(pst::load_le16(strings, entries[before + 2].value + 8), 0xEBu);
  EXPECT_EQ(entries[before + 3].value, entries[before + 2].value + 12);
  for (std::size_t i = 0; i < 4; ++i)
    expect_in_bucket(written, entries[before + i], std::array{numeric, keywords, odd, after}[i]);

  const NameToIdMap again(written);
  for (std::size_t i = 0; i < 4; ++i)
    EXPECT_EQ(again.find(std::array{numeric, keywords, odd, after}[i]), ids[i]);
  EXPECT_FALSE(again.changed());
}

// Objects copied from another store keep its ids: a new name takes the id it came with when
// that is free, an id the other store held without a name stays unnamed and no later name
// takes it, and the entry stream stays in index order.
TEST(NameToIdMap, CopiedObjectsKeepTheirIdsNamedAndUnnamed) {
  test::TempDir dir;
  NameToIdMap map(map_properties(test::empty_store(dir, "s.pst")));
  const auto own = static_cast<std::uint16_t>(0x8000 + map.size() - 1);  // the store's own
  const std::uint16_t next = static_cast<std::uint16_t>(own + 1);
  EXPECT_FALSE(map.keep_unnamed(own));
  EXPECT_FALSE(map.keep_unnamed(0x7FFF));
  EXPECT_TRUE(map.keep_unnamed(next));
  EXPECT_TRUE(map.keep_unnamed(0x80A9));
  const PropertyName a{kPsPublicStrings, std::nullopt, u"a"};
  const PropertyName b{kPsPublicStrings, std::nullopt, u"b"};
  const PropertyName c{kPsPublicStrings, std::nullopt, u"c"};
  const PropertyName d{kPsPublicStrings, std::nullopt, u"d"};
  EXPECT_EQ(map.id_for(a, 0x8100), 0x8100);  // free: as it came
  EXPECT_EQ(map.id_for(b, 0x80A9), 0x8101);  // kept unnamed: after the highest
  EXPECT_EQ(map.id_for(c, own), 0x8102);     // named here: after the highest
  EXPECT_EQ(map.id_for(d, 0x80F0), 0x80F0);  // below ids given already
  EXPECT_FALSE(map.keep_unnamed(0x8100));
  const auto written = map.properties();
  const auto entries = records(value(written, 0x00030102));
  EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end(),
                             [](const Record& l, const Record& r) { return l.index < r.index; }));
  const NameToIdMap again(written);
  EXPECT_EQ(again.find(d), 0x80F0);
  EXPECT_EQ(again.name_of(0x80A9), std::nullopt);
  EXPECT_FALSE(NameToIdMap::unreadable().keep_unnamed(0x80A9));
}

TEST(NameToIdMap, MapiNumbersAreTheirOwnIdsAndAnUnreadableMapTakesNoNames) {
  NameToIdMap map;
  EXPECT_EQ(map.id_for({kPsMapi, 0x0037, {}}), 0x0037);
  EXPECT_EQ(map.id_for({kPsPublicStrings, std::nullopt, u""}), std::nullopt);
  EXPECT_FALSE(map.changed());
  NameToIdMap unreadable = NameToIdMap::unreadable();
  EXPECT_EQ(unreadable.id_for({kPsPublicStrings, std::nullopt, u"Keywords"}), std::nullopt);
  EXPECT_FALSE(unreadable.changed());
}

}  // namespace
}  // namespace pstorian
