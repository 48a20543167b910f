// Compressed RTF bodies decompress to the RTF they were made of, by this test's reading of
// the format and by the one the shared tools use to compare bodies.
#include "mailclient/automation/compressed_rtf.h"

#include <gtest/gtest.h>

#include "format/crc.h"
#include "format/endian.h"
#include "mail_client_support.h"
#include "rtf_reader.h"

namespace pstorian {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(CompressedRtf, DecompressesToTheRtfWithItsHeaderRight) {
  std::string long_text = "{\\rtf1\\ansi\\ansicpg1252 ";
  for (int i = 0; i < 900; ++i) long_text += "caf\\'e9 \\par " + std::to_string(i % 37) + " ";
  long_text += "}";
  std::string every_byte;
  for (int i = 0; i < 256; ++i) every_byte += static_cast<char>(i);
  for (const std::string& rtf : {std::string(), std::string("{\\rtf1}"), long_text, every_byte}) {
    const Bytes compressed = compress_rtf(rtf);
    EXPECT_EQ(test::decompress_rtf(compressed), rtf);
    EXPECT_EQ(pst::load_le32(compressed, 0), compressed.size() - 4);
    EXPECT_EQ(pst::load_le32(compressed, 12), pst::crc32(std::span(compressed).subspan(16)));
  }
  // Repeats wrap the dictionary and are told in references, not bytes.
  EXPECT_LT(compress_rtf(long_text).size(), long_text.size() / 3);
}

TEST(CompressedRtf, TheSharedToolsReadItAsWell) {
  const std::string tools = PSTORIAN_SHARED_DIR "/tools";
  if (!std::filesystem::exists(tools + "/pstdiff.py") || !test::has_pypff())
    GTEST_SKIP() << "shared tools or pypff missing";
  const std::string rtf =
      "{\\rtf1\\ansi Gr\\'fc\\'dfe aus Z\\'fcrich, Gr\\'fc\\'dfe aus Z\\'fcrich}";
  const Bytes compressed = compress_rtf(rtf);
  std::string hex;
  for (const std::uint8_t b : compressed) {
    static constexpr char kDigits[] = "0123456789abcdef";
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0xF];
  }
  int status = -1;
  const std::string out =
      test::run("cd '" + tools +
                    "' && /usr/bin/python3 -c \"import sys, pstdiff; "
                    "sys.stdout.buffer.write(pstdiff.rtf_decompress(bytes.fromhex('" +
                    hex + "')))\"",
                &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, rtf);
}

}  // namespace
}  // namespace pstorian
