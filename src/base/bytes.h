// bytes.h: byte-level helpers shared by the JSON and text layers: eight ASCII bytes at a
// time in a 64-bit word, the UTF-8 encoder, and the vector scans for the bytes that end a
// plain run inside a JSON string. Pure; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brask {

inline constexpr uint64_t BYTE_ONES = 0x0101010101010101ull;
inline constexpr uint64_t BYTE_HIGH_BITS = 0x80 * BYTE_ONES;

// For eight ASCII bytes, 0x80 in each byte from `low` to `high`. Per byte, 0x80 is set in
// `x + (0x80 - low)` when x >= low and in `x + (0x7f - high)` when x > high; no sum
// carries into the next byte because every x is below 0x80.
constexpr uint64_t bytes_in_range(uint64_t x, unsigned char low, unsigned char high) {
  return (x + (0x80 - low) * BYTE_ONES) & ~(x + (0x7f - high) * BYTE_ONES) & BYTE_HIGH_BITS;
}

// Eight ASCII bytes lower-cased: 0x20 added to each of A-Z.
constexpr uint64_t lower_ascii8(uint64_t x) {
  return x | bytes_in_range(x, 'A', 'Z') >> 2;
}

inline uint64_t load8(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

// Writes scalar value `c` as UTF-8 at `p` (room for four bytes) and returns the end.
inline char* put_utf8(char* p, char32_t c) {
  if (c < 0x80) {
    *p++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *p++ = static_cast<char>(0xC0 | (c >> 6));
    *p++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *p++ = static_cast<char>(0xE0 | (c >> 12));
    *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *p++ = static_cast<char>(0xF0 | (c >> 18));
    *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return p;
}

// First byte at or after `p` that is `"`, `\` or below 0x20 (what a JSON string must
// escape), and with `STOP_AT_NON_ASCII` also any byte of 0x80 or more (which a reader
// checks as UTF-8). `end` when there is none. 32 bytes per step, then 16.
template <bool STOP_AT_NON_ASCII>
const char* find_json_string_stop(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  const __m128i control_max = _mm_set1_epi8(0x1F);
  auto stops = [&](__m128i v) {
    __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash));
    // Signed, bytes 0x80-0xFF are negative, so "below space" catches non-ASCII too;
    // unsigned, v <= 0x1F exactly when min(v, 0x1F) == v.
    __m128i low = STOP_AT_NON_ASCII ? _mm_cmplt_epi8(v, space)
                                    : _mm_cmpeq_epi8(_mm_min_epu8(v, control_max), v);
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(special, low)));
  };
  while (end - p >= 32) {
    unsigned mask = stops(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) |
                    (stops(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16))) << 16);
    if (mask != 0)
      return p + __builtin_ctz(mask);
    p += 32;
  }
  if (end - p >= 16) {
    unsigned mask = stops(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    if (mask != 0)
      return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  for (; p < end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20 || (STOP_AT_NON_ASCII && c >= 0x80))
      return p;
  }
  return end;
}

}  // namespace brask
