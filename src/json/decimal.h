// decimal.h: a decimal significand and power of ten as the nearest double, exactly, for the
// forms numbers take in practice (up to 19 significant digits, powers of ten from -64 to
// 27), in 128-bit integer arithmetic. Whatever it declines, `std::from_chars` reads. Pure;
// safe from any thread.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace brask {

namespace decimal_detail {

__extension__ typedef unsigned __int128 uint128;  // g++ and clang++ on 64-bit targets

// Powers of five that fit in 64 bits, 5^0 to 5^27. 10^k is 5^k * 2^k, and the 2^k is exact.
inline constexpr int FIVE_POWERS_IN_64_BITS = 28;
inline constexpr auto POWERS_OF_FIVE = [] {
  std::array<uint64_t, FIVE_POWERS_IN_64_BITS> powers{};
  uint64_t power = 1;
  for (uint64_t& p : powers) {
    p = power;
    power *= 5;
  }
  return powers;
}();

// Whether 5^k divides m, and the quotient, without dividing: for odd d, m * (1/d mod 2^64)
// is m / d when d divides m, and otherwise a number above (2^64 - 1) / d.
struct ExactDivision {
  uint64_t inverse, limit;
};
inline constexpr auto FIVE_POWER_DIVISIONS = [] {
  std::array<ExactDivision, FIVE_POWERS_IN_64_BITS> table{};
  const uint64_t inverse_of_five = 0xCCCCCCCCCCCCCCCDull;  // 5 * it is 1 mod 2^64
  uint64_t inverse = 1;
  for (size_t k = 0; k < table.size(); ++k) {
    table[k] = {inverse, ~uint64_t{0} / POWERS_OF_FIVE[k]};
    inverse *= inverse_of_five;
  }
  return table;
}();

// m / 5^k is read as m times a reciprocal: floor(2^shift / 5^k), the 128 bits from its
// highest set bit, for k from 1 to 64.
struct Reciprocal {
  uint64_t high, low;
  int shift;
};
inline constexpr int RECIPROCAL_LAST = 64;
inline constexpr auto RECIPROCALS = [] {
  std::array<Reciprocal, RECIPROCAL_LAST + 1> table{};  // [0] unused
  // floor(2^319 / 5^k) in five limbs, most significant first: floor(floor(x) / 5) is
  // floor(x / 5), so one exact division by 5 per k.
  uint64_t x[5] = {uint64_t{1} << 63, 0, 0, 0, 0};
  for (int k = 1; k <= RECIPROCAL_LAST; ++k) {
    uint64_t rem = 0;
    for (uint64_t& limb : x) {
      const uint128 cur = static_cast<uint128>(rem) << 64 | limb;
      limb = static_cast<uint64_t>(cur / 5);
      rem = static_cast<uint64_t>(cur % 5);
    }
    int top = 0;
    while (x[top] == 0)
      ++top;
    const int lz = std::countl_zero(x[top]);
    auto limb = [&](int i) { return i < 5 ? x[i] : uint64_t{0}; };
    auto bits = [&](int i) { return lz == 0 ? limb(i) : limb(i) << lz | limb(i + 1) >> (64 - lz); };
    // Dropping the bits below the top 128 is a floor again: floor(2^(319 - dropped) / 5^k).
    const int dropped = (5 - top) * 64 - lz - 128;
    table[k] = {bits(top), bits(top + 1), 319 - dropped};
  }
  return table;
}();

// `q * 2^scale`, with `sticky` telling that the exact value is a little above `q`, rounded
// to the nearest double, ties to even. `q` is nonzero and the result is a normal double.
inline double round_to_double(uint128 q, int scale, bool sticky) {
  // With the top bit moved to bit 127, the double's 53 bits are the top of the high half.
  const uint64_t high = static_cast<uint64_t>(q >> 64);
  const int lz =
      high != 0 ? std::countl_zero(high) : 64 + std::countl_zero(static_cast<uint64_t>(q));
  q <<= lz;
  const uint64_t top = static_cast<uint64_t>(q >> 64);
  uint64_t mantissa = top >> 11;
  const uint64_t rest = top & 0x7FF;
  int exponent = scale + 75 - lz;  // of the mantissa's last bit
  if (rest > 0x400 ||
      (rest == 0x400 && (static_cast<uint64_t>(q) != 0 || sticky || (mantissa & 1) != 0))) {
    if (++mantissa == uint64_t{1} << 53) {
      mantissa >>= 1;
      ++exponent;
    }
  }
  const uint64_t bits =
      static_cast<uint64_t>(exponent + 52 + 1023) << 52 | (mantissa & ((uint64_t{1} << 52) - 1));
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace decimal_detail

// The powers of ten that a double holds exactly.
inline constexpr double EXACT_POWERS_OF_TEN[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                 1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// `significand * 10^exponent10` correctly rounded into `*out`, or false when this form is
// left to a general reader: the power of ten is above 10^27 or below 10^-64.
[[gnu::always_inline]] inline bool decimal_to_double(uint64_t significand, int exponent10,
                                                     double* out) {
  using decimal_detail::FIVE_POWERS_IN_64_BITS;
  using decimal_detail::POWERS_OF_FIVE;
  using decimal_detail::uint128;
  if (significand == 0) {
    *out = 0.0;
    return true;
  }
  // Both factors exact in a double: one correctly rounded operation.
  if (significand <= uint64_t{1} << 53 && exponent10 >= -22 && exponent10 <= 22) {
    const double value = static_cast<double>(significand);
    *out = exponent10 < 0 ? value / EXACT_POWERS_OF_TEN[-exponent10]
                          : value * EXACT_POWERS_OF_TEN[exponent10];
    return true;
  }
  if (exponent10 >= 0) {
    if (exponent10 >= FIVE_POWERS_IN_64_BITS)
      return false;
    // Exact in 128 bits.
    const uint128 product = static_cast<uint128>(significand) * POWERS_OF_FIVE[exponent10];
    *out = decimal_detail::round_to_double(product, exponent10, false);
    return true;
  }
  const int k = -exponent10;
  if (k > decimal_detail::RECIPROCAL_LAST)
    return false;
  if (k < FIVE_POWERS_IN_64_BITS) {
    const auto& division = decimal_detail::FIVE_POWER_DIVISIONS[k];
    if (const uint64_t quotient = significand * division.inverse; quotient <= division.limit) {
      *out = decimal_detail::round_to_double(quotient, exponent10, false);  // exact
      return true;
    }
  }
  // Otherwise m / 5^k is no dyadic fraction, so the value is never a tie. m * 2^shift / 5^k
  // lies in [P, P + m) for P = m * reciprocal: only the low 64 bits of P are uncertain.
  const auto& r = decimal_detail::RECIPROCALS[k];
  const int lz = std::countl_zero(significand);
  const uint64_t m = significand << lz;
  const uint128 low_product = static_cast<uint128>(m) * r.low;
  const uint128 upper = static_cast<uint128>(m) * r.high + (low_product >> 64);
  const int scale = 64 - r.shift - lz + exponent10;
  *out = decimal_detail::round_to_double(upper, scale, true);
  // Where the uncertainty carries into `upper`, adding one changes how it rounds only if
  // its bits below the kept 53 are one short of the half: then `upper`, at least 2^126,
  // ends in 64 one bits. Both candidates must round alike.
  if (static_cast<uint64_t>(low_product) > ~m && static_cast<uint64_t>(upper) == ~uint64_t{0})
    return *out == decimal_detail::round_to_double(upper + 1, scale, true);
  return true;
}

}  // namespace brask
