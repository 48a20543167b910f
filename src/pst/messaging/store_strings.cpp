#include "pst/messaging/store_strings.h"

#include <limits>
#include <optional>
#include <string>

#include "format/endian.h"
#include "format/layout.h"
#include "format/property_types.h"
#include "pst/ltp/property_context_writer.h"

namespace pstorian {
namespace {

constexpr std::uint16_t kPtMvString8 = 0x101E;
constexpr std::uint16_t kPtMvUnicode = 0x101F;

std::uint32_t with_type(std::uint32_t tag, std::uint16_t type) {
  return (tag & 0xFFFF0000u) | type;
}

// The converted value; none when the text does not survive the conversion.
using Convert = std::optional<std::vector<std::uint8_t>> (*)(std::span<const std::uint8_t>,
                                                             const TextCodec&);

std::optional<std::vector<std::uint8_t>> widen(std::span<const std::uint8_t> text,
                                               const TextCodec& codec) {
  return to_utf16le(codec.decode({reinterpret_cast<const char*>(text.data()), text.size()}));
}

// Text that the code page cannot hold ('?' in place of what it lacks) stays UTF-16.
std::optional<std::vector<std::uint8_t>> narrow(std::span<const std::uint8_t> text,
                                                const TextCodec& codec) {
  const std::u16string wide = from_utf16le(text);
  const std::string bytes = codec.encode(wide);
  if (codec.decode(bytes) != wide) return std::nullopt;
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

// A string list: its count, the offset of each string, then the strings back to back. A
// list whose offsets do not hold, or one string of which does not convert, is passed on as
// it is.
std::optional<std::vector<std::uint8_t>> convert_list(std::span<const std::uint8_t> list,
                                                      const TextCodec& codec, Convert convert) {
  const std::size_t count = pst::load_le32(list, 0);
  if (list.size() < 4 || count > (list.size() - 4) / 4) return std::nullopt;
  std::vector<std::vector<std::uint8_t>> items;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t from = pst::load_le32(list, 4 + 4 * i);
    const std::size_t to = i + 1 < count ? pst::load_le32(list, 8 + 4 * i) : list.size();
    if (from > to || to > list.size()) return std::nullopt;
    auto item = convert(list.subspan(from, to - from), codec);
    if (!item) return std::nullopt;
    items.push_back(std::move(*item));
  }
  std::vector<std::uint8_t> out(4 + 4 * count);
  pst::store_le32(out, 0, static_cast<std::uint32_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    pst::store_le32(out, 4 + 4 * i, static_cast<std::uint32_t>(out.size()));
    out.insert(out.end(), items[i].begin(), items[i].end());
  }
  return out;
}

std::vector<StoredProperty> convert_all(std::vector<StoredProperty> properties,
                                        const TextCodec& codec, std::uint16_t from,
                                        std::uint16_t from_list, std::uint16_t to,
                                        std::uint16_t to_list, Convert convert) {
  for (auto& p : properties) {
    const auto type = pst::tag_type(p.tag);
    std::optional<std::vector<std::uint8_t>> value;
    if (type == from)
      value = convert(p.value, codec);
    else if (type == from_list)
      value = convert_list(p.value, codec, convert);
    else
      continue;
    if (!value) continue;
    p.value = std::move(*value);
    p.tag = with_type(p.tag, type == from ? to : to_list);
  }
  return properties;
}

std::vector<TableColumn> retype_columns(std::span<const TableColumn> columns, std::uint16_t from,
                                        std::uint16_t to) {
  std::vector<TableColumn> out(columns.begin(), columns.end());
  for (auto& c : out)
    if (pst::tag_type(c.tag) == from) c.tag = with_type(c.tag, to);
  return out;
}

}  // namespace

std::vector<StoredProperty> to_file_strings(std::vector<StoredProperty> properties,
                                            const TextCodec& codec, FileForm form) {
  if (form != FileForm::kUnicode) return properties;
  return convert_all(std::move(properties), codec, pst::kPtString8, kPtMvString8,
                     pst::kPtUnicode, kPtMvUnicode, widen);
}

std::vector<StoredProperty> from_file_strings(std::vector<StoredProperty> properties,
                                              const TextCodec& codec, FileForm form) {
  if (form != FileForm::kUnicode) return properties;
  return convert_all(std::move(properties), codec, pst::kPtUnicode, kPtMvUnicode,
                     pst::kPtString8, kPtMvString8, narrow);
}

std::vector<TableColumn> to_file_columns(std::span<const TableColumn> columns, FileForm form) {
  if (form != FileForm::kUnicode) return {columns.begin(), columns.end()};
  return retype_columns(columns, pst::kPtString8, pst::kPtUnicode);
}

std::vector<TableColumn> from_file_columns(std::span<const TableColumn> columns, FileForm form) {
  if (form != FileForm::kUnicode) return {columns.begin(), columns.end()};
  return retype_columns(columns, pst::kPtUnicode, pst::kPtString8);
}

std::vector<TableRow> to_file_rows(std::span<const TableRow> rows, const TextCodec& codec,
                                   FileForm form) {
  std::vector<TableRow> out;
  out.reserve(rows.size());
  for (const auto& row : rows) out.push_back(to_file_strings(row, codec, form));
  return out;
}

std::vector<std::vector<std::uint8_t>> file_property_context(const PropertyBag& properties,
                                                             const TextCodec& codec, FileForm form,
                                                             SubnodeSink* large_values) {
  if (form != FileForm::kUnicode) return build_property_context(properties.views(), large_values);
  return build_property_context(to_file_strings(properties.list(), codec, form), large_values);
}

std::size_t max_table_rows(FileForm form) {
  return form == FileForm::kUnicode ? std::numeric_limits<std::uint32_t>::max()
                                    : pst::kMaxTableRows;
}

}  // namespace pstorian
