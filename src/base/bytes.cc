#include "base/bytes.h"

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif

namespace brask {

// A sequence is read as one 32-bit word where four bytes remain in the text.
bool valid_utf8_scalar(const char* p, const char* run_end, const char* text_end) {
  auto byte = [](const char* q, size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(q[i]));
  };
  while (p < run_end) {
    if (run_end - p >= 8 && (load8(p) & BYTE_HIGH_BITS) == 0) {
      p += 8;
      continue;
    }
    const uint32_t b0 = byte(p, 0);
    if (b0 < 0x80) {
      ++p;
      continue;
    }
    if (text_end - p < 4) {
      // The slow path near the end of the text: byte by byte, bounded.
      const size_t left = static_cast<size_t>(run_end - p);
      auto cont = [&](size_t i) { return i < left && (byte(p, i) & 0xC0) == 0x80; };
      if (b0 >= 0xC2 && b0 <= 0xDF && cont(1)) {
        p += 2;
      } else if (b0 >= 0xE0 && b0 <= 0xEF && cont(1) && cont(2)) {
        const uint32_t cp = ((b0 & 0x0F) << 12) | ((byte(p, 1) & 0x3F) << 6) | (byte(p, 2) & 0x3F);
        if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))
          return false;
        p += 3;
      } else {  // four bytes cannot fit
        return false;
      }
      continue;
    }
    // Continuation bytes are never a stop of the run, so a sequence cut short by the run's
    // end fails its continuation test.
    const uint32_t w = b0 | byte(p, 1) << 8 | byte(p, 2) << 16 | byte(p, 3) << 24;
    if ((w & 0xC0E0) == 0x80C0) {
      if (b0 < 0xC2)
        return false;
      p += 2;
    } else if ((w & 0xC0C0F0) == 0x8080E0) {
      const uint32_t cp = ((b0 & 0x0F) << 12) | ((w >> 2) & 0x0FC0) | ((w >> 16) & 0x3F);
      if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
      p += 3;
    } else if ((w & 0xC0C0C0F8) == 0x808080F0) {
      const uint32_t cp =
          ((b0 & 0x07) << 18) | ((w << 4) & 0x3F000) | ((w >> 10) & 0x0FC0) | ((w >> 24) & 0x3F);
      if (cp < 0x10000 || cp > 0x10FFFF)
        return false;
      p += 4;
    } else {
      return false;
    }
  }
  return true;
}

#if defined(__x86_64__) || defined(__i386__)
namespace {

// The error bits of a pair of bytes (the one before, the current one), each a condition
// that some pair of its kind breaks; a pair is valid when the three nibbles' lookups share
// no bit. Continuations that must follow a three- or four-byte lead are checked apart.
constexpr uint8_t TOO_SHORT = 1 << 0;       // a lead not followed by a continuation
constexpr uint8_t TOO_LONG = 1 << 1;        // a continuation after ASCII
constexpr uint8_t OVERLONG_3 = 1 << 2;      // E0 80-9F
constexpr uint8_t TOO_LARGE = 1 << 3;       // F4 90-BF, F5-FF
constexpr uint8_t SURROGATE = 1 << 4;       // ED A0-BF
constexpr uint8_t OVERLONG_2 = 1 << 5;      // C0-C1
constexpr uint8_t TOO_LARGE_1000 = 1 << 6;  // F5-FF 80-8F
constexpr uint8_t OVERLONG_4 = 1 << 6;      // F0 80-8F
constexpr uint8_t TWO_CONTS = 1 << 7;       // a continuation after a continuation
constexpr uint8_t CARRY = TOO_SHORT | TOO_LONG | TWO_CONTS;

__attribute__((target("ssse3"))) __m128i lookup(const uint8_t (&table)[16], __m128i nibbles) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table)), nibbles);
}

__attribute__((target("ssse3"))) __m128i block_errors(__m128i in, __m128i prev) {
  static constexpr uint8_t FIRST_HIGH[16] = {TOO_LONG,
                                             TOO_LONG,
                                             TOO_LONG,
                                             TOO_LONG,
                                             TOO_LONG,
                                             TOO_LONG,
                                             TOO_LONG,
                                             TOO_LONG,
                                             TWO_CONTS,
                                             TWO_CONTS,
                                             TWO_CONTS,
                                             TWO_CONTS,
                                             TOO_SHORT | OVERLONG_2,
                                             TOO_SHORT,
                                             TOO_SHORT | OVERLONG_3 | SURROGATE,
                                             TOO_SHORT | TOO_LARGE | TOO_LARGE_1000 | OVERLONG_4};
  static constexpr uint8_t LARGE = CARRY | TOO_LARGE | TOO_LARGE_1000;
  static constexpr uint8_t FIRST_LOW[16] = {CARRY | OVERLONG_3 | OVERLONG_2 | OVERLONG_4,
                                            CARRY | OVERLONG_2,
                                            CARRY,
                                            CARRY,
                                            CARRY | TOO_LARGE,
                                            LARGE,
                                            LARGE,
                                            LARGE,
                                            LARGE,
                                            LARGE,
                                            LARGE,
                                            LARGE,
                                            LARGE,
                                            LARGE | SURROGATE,
                                            LARGE,
                                            LARGE};
  static constexpr uint8_t CONT = TOO_LONG | OVERLONG_2 | TWO_CONTS;
  static constexpr uint8_t SECOND_HIGH[16] = {TOO_SHORT,
                                              TOO_SHORT,
                                              TOO_SHORT,
                                              TOO_SHORT,
                                              TOO_SHORT,
                                              TOO_SHORT,
                                              TOO_SHORT,
                                              TOO_SHORT,
                                              CONT | OVERLONG_3 | TOO_LARGE_1000 | OVERLONG_4,
                                              CONT | OVERLONG_3 | TOO_LARGE,
                                              CONT | SURROGATE | TOO_LARGE,
                                              CONT | SURROGATE | TOO_LARGE,
                                              TOO_SHORT,
                                              TOO_SHORT,
                                              TOO_SHORT,
                                              TOO_SHORT};
  const __m128i low_nibble = _mm_set1_epi8(0x0F);
  const __m128i prev1 = _mm_alignr_epi8(in, prev, 15);
  const __m128i special = _mm_and_si128(
      _mm_and_si128(lookup(FIRST_HIGH, _mm_and_si128(_mm_srli_epi16(prev1, 4), low_nibble)),
                    lookup(FIRST_LOW, _mm_and_si128(prev1, low_nibble))),
      lookup(SECOND_HIGH, _mm_and_si128(_mm_srli_epi16(in, 4), low_nibble)));
  // The third byte after an E0-EF lead and the fourth after an F0-FF lead must be
  // continuations, which `special` marks as TWO_CONTS: exactly there.
  const __m128i third = _mm_subs_epu8(_mm_alignr_epi8(in, prev, 14), _mm_set1_epi8(0xE0 - 0x80));
  const __m128i fourth = _mm_subs_epu8(_mm_alignr_epi8(in, prev, 13), _mm_set1_epi8(0xF0 - 0x80));
  const __m128i must_continue =
      _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(static_cast<char>(0x80)));
  return _mm_xor_si128(must_continue, special);
}

// Nonzero where a block's last bytes start a sequence it does not finish.
__attribute__((target("ssse3"))) __m128i incomplete(__m128i in) {
  const __m128i limits =
      _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1),
                    static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
  return _mm_subs_epu8(in, limits);
}

__attribute__((target("ssse3"))) bool valid_utf8_ssse3(const char* p, const char* run_end,
                                                       const char* text_end) {
  __m128i prev = _mm_setzero_si128();
  __m128i errors = _mm_setzero_si128();
  __m128i pending = _mm_setzero_si128();  // `incomplete` of the block before
  for (; run_end - p >= 16; p += 16) {
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if (_mm_movemask_epi8(in) == 0) {
      errors = _mm_or_si128(errors, pending);
      pending = _mm_setzero_si128();
    } else {
      errors = _mm_or_si128(errors, block_errors(in, prev));
      pending = incomplete(in);
    }
    prev = in;
  }
  const size_t left = static_cast<size_t>(run_end - p);
  if (left == 0) {
    errors = _mm_or_si128(errors, pending);
  } else {
    // The rest, followed by zeros: a sequence cut short meets ASCII.
    alignas(16) char tail[16] = {};
    __m128i in;
    if (text_end - p >= 16) {
      static constexpr char KEEP[32] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                        -1, -1, -1, -1, -1, -1, -1, -1};
      in = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(KEEP + 16 - left)));
    } else {
      std::memcpy(tail, p, left);
      in = _mm_load_si128(reinterpret_cast<const __m128i*>(tail));
    }
    errors = _mm_or_si128(errors, block_errors(in, prev));
  }
  return _mm_movemask_epi8(_mm_cmpeq_epi8(errors, _mm_setzero_si128())) == 0xFFFF;
}

const bool HAS_SSSE3 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3") != 0;
}();

}  // namespace

bool valid_utf8(const char* p, const char* run_end, const char* text_end) {
  return HAS_SSSE3 ? valid_utf8_ssse3(p, run_end, text_end)
                   : valid_utf8_scalar(p, run_end, text_end);
}
#else
bool valid_utf8(const char* p, const char* run_end, const char* text_end) {
  return valid_utf8_scalar(p, run_end, text_end);
}
#endif

}  // namespace brask
