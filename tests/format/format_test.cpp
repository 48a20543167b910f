#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <numeric>
#include <vector>

#include "format/crc.h"
#include "format/endian.h"
#include "format/permute.h"
#include "format/signature.h"
#include "format/utf8.h"

namespace {

// Reference: the same CRC computed bit by bit.
std::uint32_t slow_crc(const std::vector<std::uint8_t>& d) {
  std::uint32_t c = 0;
  for (auto b : d) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return c;
}

TEST(Crc, MatchesBitwiseReferenceForEveryLengthAndSplit) {
  std::vector<std::uint8_t> data(300);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 11);
  for (std::size_t n = 0; n <= data.size(); n += 7) {
    std::vector<std::uint8_t> part(data.begin(), data.begin() + static_cast<long>(n));
    EXPECT_EQ(pst::crc32(part), slow_crc(part)) << n;
    // Continuing a running value gives the same result as one pass.
    const std::size_t half = n / 2;
    const auto first = pst::crc32(std::span(part).first(half));
    EXPECT_EQ(pst::crc32(std::span(part).subspan(half), first), slow_crc(part));
  }
  EXPECT_EQ(pst::crc32({}), 0u);
}

// Blocks run to 8 KB and pages are 500 bytes: lengths past the 64-byte lanes of the
// folded path, at every start offset within 16 bytes, and running values carried over.
TEST(Crc, LongRunsMatchTheReferenceAtAnyOffsetLengthAndStart) {
  std::vector<std::uint8_t> data(8200);
  std::uint32_t x = 0x12345678;
  for (auto& b : data) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 23);
  }
  for (std::size_t offset = 0; offset < 16; offset += 3) {
    for (const std::size_t n : {63u, 64u, 65u, 79u, 127u, 128u, 500u, 511u, 4096u, 8180u}) {
      const std::vector<std::uint8_t> part(data.begin() + static_cast<long>(offset),
                                           data.begin() + static_cast<long>(offset + n));
      EXPECT_EQ(pst::crc32(part), slow_crc(part)) << offset << " " << n;
      const auto first = pst::crc32(std::span(part).first(n / 3));
      EXPECT_EQ(pst::crc32(std::span(part).subspan(n / 3), first), slow_crc(part)) << n;
    }
  }
  const std::vector<std::uint8_t> ones(4096, 0xFF);
  EXPECT_EQ(pst::crc32(ones), slow_crc(ones));
}

TEST(Signature, IsTheXorOfBothHalvesOfOffsetXorId) {
  // The free page of the empty store: offset 0x4A00, bid 0x2 -> 0x4A02.
  EXPECT_EQ(pst::block_signature(0x4A00, 0x2), 0x4A02);
  EXPECT_EQ(pst::block_signature(0x12345678, 0x9ABCDEF0), ((0x12345678u ^ 0x9ABCDEF0u) >> 16) ^
                                                           ((0x12345678u ^ 0x9ABCDEF0u) & 0xFFFF));
}

TEST(Permute, DecodeInvertsEncodeOnEveryByte) {
  std::array<std::uint8_t, 256> all{};
  std::iota(all.begin(), all.end(), 0);
  auto copy = all;
  pst::permute_encode(copy);
  EXPECT_NE(copy, all);
  pst::permute_decode(copy);
  EXPECT_EQ(copy, all);
  // A plain property context header encodes to the bytes the scan's vote looks for.
  std::array<std::uint8_t, 2> sig{0xEC, 0xBC};
  pst::permute_encode(sig);
  EXPECT_EQ(sig[0] | (sig[1] << 8), 0x93FF);
}

TEST(Permute, CyclicIsItsOwnInverse) {
  std::vector<std::uint8_t> d(100);
  std::iota(d.begin(), d.end(), 3);
  auto c = d;
  pst::cyclic_crypt(c, 0x12345);
  EXPECT_NE(c, d);
  pst::cyclic_crypt(c, 0x12345);
  EXPECT_EQ(c, d);
}

TEST(Endian, LoadsNeverCrossTheSpanEnd) {
  const std::array<std::uint8_t, 5> b{1, 2, 3, 4, 5};
  EXPECT_EQ(pst::load_le32(b, 0), 0x04030201u);
  EXPECT_EQ(pst::load_le32(b, 1), 0x05040302u);
  EXPECT_EQ(pst::load_le32(b, 2), 0u);
  EXPECT_EQ(pst::load_le16(b, 4), 0u);
  EXPECT_EQ(pst::load_le16(b, 100), 0u);
  EXPECT_EQ(pst::load_le64(b, 0), 0u);
}

// A path survives the trip through UTF-16 byte for byte, whatever its bytes: valid UTF-8
// widens as text, every other byte as a lone surrogate of its own.
TEST(Utf8, EveryPathComesBackExactlyFromItsUtf16Form) {
  using namespace std::string_literals;
  for (const std::string& path :
       {"/home/ann/café.pst"s, "/home/ann/caf\xE9.pst"s, "\xC3("s, "\xED\xA0\x80"s,
        "\xF0\x9F\x98\x80 \xF0\x9F\x98"s, "\xC0\xAF"s, "\x80\xFF\xFE"s}) {
    EXPECT_EQ(pst::path_from_utf16(pst::path_to_utf16(path)), path);
  }
  std::string every_byte;
  for (int b = 1; b < 256; ++b) every_byte.push_back(static_cast<char>(b));
  EXPECT_EQ(pst::path_from_utf16(pst::path_to_utf16(every_byte)), every_byte);
  // Valid names are plain UTF-16, as any other client would give them.
  EXPECT_EQ(pst::path_to_utf16("/tmp/Grüße 😀.pst"), u"/tmp/Grüße 😀.pst");
  EXPECT_EQ(pst::path_to_utf16("caf\xE9"), u"caf\xDCE9");
  // Text, unlike a path, is repaired: the escape form means nothing there.
  EXPECT_EQ(pst::utf8_to_utf16("caf\xE9"), u"caf\uFFFD");
  EXPECT_EQ(pst::utf16_to_utf8(u"caf\xDCE9"), "caf\xEF\xBF\xBD");
}

}  // namespace
