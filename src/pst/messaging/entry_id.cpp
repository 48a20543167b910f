#include "pst/messaging/entry_id.h"

#include <algorithm>

#include "format/endian.h"

namespace pstorian {
namespace {

constexpr std::array<std::uint8_t, 16> kStoreWrapUid = {0x38, 0xA1, 0xBB, 0x10, 0x05, 0xE5,
                                                        0x10, 0x1A, 0xA1, 0xBB, 0x08, 0x00,
                                                        0x2B, 0x2A, 0x56, 0xC2};
constexpr std::string_view kProviderLibrary = "mspst.dll";
constexpr std::uint32_t kPersonalFolderFileType = 0x0C;

int hex_digit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

}  // namespace

std::u16string to_hex_text(std::span<const std::uint8_t> bytes) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string out;
  out.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0xF]);
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> from_hex_text(std::u16string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = hex_digit(text[i]);
    const int lo = hex_digit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return out;
}

std::vector<std::uint8_t> message_entry_id(const RecordKey& store, std::uint32_t nid) {
  std::vector<std::uint8_t> out(24, 0);
  std::copy(store.begin(), store.end(), out.begin() + 4);
  pst::store_le32(out, 20, nid);
  return out;
}

std::optional<MessageRef> parse_message_entry_id(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != 24 || pst::load_le32(bytes, 0) != 0) return std::nullopt;
  MessageRef ref;
  std::copy(bytes.begin() + 4, bytes.begin() + 20, ref.store.begin());
  ref.nid = pst::load_le32(bytes, 20);
  return ref;
}

std::vector<std::uint8_t> store_entry_id(const RecordKey& store, std::string_view path) {
  std::vector<std::uint8_t> out(4, 0);
  out.insert(out.end(), kStoreWrapUid.begin(), kStoreWrapUid.end());
  out.push_back(0);
  out.push_back(0);
  out.insert(out.end(), kProviderLibrary.begin(), kProviderLibrary.end());
  out.push_back(0);
  while (out.size() % 4 != 0) out.push_back(0);
  out.insert(out.end(), 4, 0);
  out.insert(out.end(), store.begin(), store.end());
  const std::size_t type_at = out.size();
  out.resize(type_at + 4);
  pst::store_le32(out, type_at, kPersonalFolderFileType);
  out.insert(out.end(), path.begin(), path.end());
  out.push_back(0);
  return out;
}

}  // namespace pstorian
