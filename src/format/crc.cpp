#include "format/crc.h"

#include <array>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define PSTORIAN_CRC_CLMUL 1
#endif

namespace pst {
namespace {

// Slicing-by-8 tables: the scan and the writer both check-sum every block they touch, so
// a byte-at-a-time loop would show up in the profiles.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_tables() {
  std::array<std::array<std::uint32_t, 256>, 8> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t s = 1; s < 8; ++s)
    for (std::size_t i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  return t;
}

constexpr auto kTables = make_tables();

std::uint32_t crc32_tables(const std::uint8_t* p, std::size_t n, std::uint32_t crc) {
  while (n >= 8) {
    const std::uint32_t lo = crc ^ (static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                                    (static_cast<std::uint32_t>(p[2]) << 16) |
                                    (static_cast<std::uint32_t>(p[3]) << 24));
    crc = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
          kTables[4][lo >> 24] ^ kTables[3][p[4]] ^ kTables[2][p[5]] ^ kTables[1][p[6]] ^
          kTables[0][p[7]];
    p += 8;
    n -= 8;
  }
  while (n--) crc = kTables[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return crc;
}

#ifdef PSTORIAN_CRC_CLMUL

// Carry-less multiplication folds 64 bytes at a time, four 16-byte lanes in parallel, then
// folds the lanes into one and reduces it to 32 bits (Barrett). Every block the writer
// makes is check-summed whole, and the tables above manage about a byte a cycle at best;
// this runs several times faster. The constants are powers of x modulo the reflected
// polynomial, for the fold distances used (512 and 128 bits), then 64 and 32 bits, and the
// polynomial with its Barrett quotient. `n` is a multiple of 16, at least 64.
#define PSTORIAN_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

PSTORIAN_CLMUL_TARGET inline __m128i load16(const std::uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// a * k (low halves) xor a * k (high halves) xor b: lane a moved forward over b.
PSTORIAN_CLMUL_TARGET inline __m128i fold(__m128i a, __m128i k, __m128i b) {
  return _mm_xor_si128(
      _mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x00), _mm_clmulepi64_si128(a, k, 0x11)), b);
}

PSTORIAN_CLMUL_TARGET std::uint32_t crc32_folded(const std::uint8_t* p, std::size_t n,
                                                 std::uint32_t crc) {
  const auto load = load16;
  const __m128i by512 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i by128 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i by64 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);

  __m128i a = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i b = load(p + 16);
  __m128i c = load(p + 32);
  __m128i d = load(p + 48);
  p += 64;
  n -= 64;
  for (; n >= 64; p += 64, n -= 64) {
    a = fold(a, by512, load(p));
    b = fold(b, by512, load(p + 16));
    c = fold(c, by512, load(p + 32));
    d = fold(d, by512, load(p + 48));
  }
  a = fold(a, by128, b);
  a = fold(a, by128, c);
  a = fold(a, by128, d);
  for (; n >= 16; p += 16, n -= 16) a = fold(a, by128, load(p));

  // 128 bits to 64, then to 32 with the Barrett reduction.
  a = _mm_xor_si128(_mm_srli_si128(a, 8), _mm_clmulepi64_si128(a, by128, 0x10));
  a = _mm_xor_si128(_mm_srli_si128(a, 4), _mm_clmulepi64_si128(_mm_and_si128(a, low32), by64, 0x00));
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(a, low32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
  return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(a, t), 1));
}

bool has_clmul() {
  static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return has;
}

#endif

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t crc) {
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
#ifdef PSTORIAN_CRC_CLMUL
  if (n >= 64 && has_clmul()) {
    const std::size_t bulk = n & ~std::size_t{15};
    crc = crc32_folded(p, bulk, crc);
    p += bulk;
    n -= bulk;
  }
#endif
  return crc32_tables(p, n, crc);
}

}  // namespace pst
