// Compares every code point with ICU, an independent implementation of the same Unicode
// release. ICU is linked into this test binary only.
#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>
#include <unicode/uversion.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "text/text.h"

namespace brask {
namespace {

constexpr char32_t LAST_CODE_POINT = 0x10FFFF;
constexpr int MAX_REPORTED = 20;

std::string name_of(char32_t c) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(c));
  char name[128] = "";
  UErrorCode status = U_ZERO_ERROR;
  u_charName(static_cast<UChar32>(c), U_EXTENDED_CHAR_NAME, name, sizeof name, &status);
  return std::string(hex) + " " + (U_SUCCESS(status) ? name : "?");
}

bool is_surrogate(char32_t c) {
  return c >= 0xD800 && c <= 0xDFFF;
}

std::string utf8(std::u32string_view code_points) {
  std::string out;
  for (char32_t c : code_points) {
    append_utf8(&out, c);
  }
  return out;
}

// ICU's full lower-casing of `text` with the root locale, as UTF-8.
std::string icu_lower(std::u32string_view text) {
  std::u16string in;
  for (char32_t c : text) {
    if (c >= 0x10000) {
      in.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      in.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      in.push_back(static_cast<char16_t>(c));
    }
  }
  UChar lowered[64];
  UErrorCode status = U_ZERO_ERROR;
  const int32_t n16 = u_strToLower(lowered, 64, reinterpret_cast<const UChar*>(in.data()),
                                   static_cast<int32_t>(in.size()), "", &status);
  if (U_FAILURE(status)) {
    return "<ICU failed: " + std::string(u_errorName(status)) + ">";
  }
  char out[256];
  int32_t n8 = 0;
  u_strToUTF8(out, sizeof out, &n8, lowered, n16, &status);
  if (U_FAILURE(status)) {
    return "<ICU failed: " + std::string(u_errorName(status)) + ">";
  }
  return std::string(out, static_cast<size_t>(n8));
}

// Counts differences and reports the first few, each naming its code point.
class Differences {
 public:
  explicit Differences(std::string what) : what_(std::move(what)) {}
  ~Differences() { EXPECT_EQ(count_, 0) << what_ << ": " << count_ << " code points differ"; }
  void check(bool equal, char32_t c, const std::string& detail = "") {
    if (equal) {
      return;
    }
    if (++count_ <= MAX_REPORTED) {
      ADD_FAILURE() << what_ << " differs from ICU at " << name_of(c) << detail;
    }
  }

 private:
  std::string what_;
  int count_ = 0;
};

TEST(TextIcu, SameUnicodeRelease) {
  UVersionInfo version;
  u_getUnicodeVersion(version);
  // The generated tables are Unicode 15.0; a cross-check against another release would
  // report the release's changes, not our faults.
  EXPECT_EQ(version[0], 15);
  EXPECT_EQ(version[1], 0);
}

TEST(TextIcu, PropertiesOfEveryCodePoint) {
  Differences white_space("White_Space"), alphabetic("Alphabetic"), numeric("numeric (Nd Nl No)"),
      alphanumeric("alphanumeric"), grapheme_extend("Grapheme_Extend"),
      not_printable("not printable (Cc Cf Cs Co Cn Zl Zp, Zs but U+0020)");
  for (char32_t c = 0; c <= LAST_CODE_POINT; ++c) {
    const auto u = static_cast<UChar32>(c);
    const int8_t category = u_charType(u);
    white_space.check(is_white_space(c) == static_cast<bool>(u_isUWhiteSpace(u)), c);
    alphabetic.check(is_alphabetic(c) == static_cast<bool>(u_isUAlphabetic(u)), c);
    const bool icu_numeric = category == U_DECIMAL_DIGIT_NUMBER || category == U_LETTER_NUMBER ||
                             category == U_OTHER_NUMBER;
    numeric.check(is_numeric(c) == icu_numeric, c);
    alphanumeric.check(is_alphanumeric(c) == (icu_numeric || u_isUAlphabetic(u)), c);
    grapheme_extend.check(
        is_grapheme_extend(c) == static_cast<bool>(u_hasBinaryProperty(u, UCHAR_GRAPHEME_EXTEND)),
        c);
    const bool icu_not_printable = category == U_CONTROL_CHAR || category == U_FORMAT_CHAR ||
                                   category == U_SURROGATE || category == U_PRIVATE_USE_CHAR ||
                                   category == U_UNASSIGNED || category == U_LINE_SEPARATOR ||
                                   category == U_PARAGRAPH_SEPARATOR ||
                                   (category == U_SPACE_SEPARATOR && c != U' ');
    not_printable.check(is_not_printable(c) == icu_not_printable, c);
  }
}

TEST(TextIcu, LowerCaseOfEveryCodePoint) {
  Differences lower("lower-casing");
  for (char32_t c = 0; c <= LAST_CODE_POINT; ++c) {
    if (is_surrogate(c)) {
      continue;  // not encodable in UTF-8
    }
    const std::u32string_view one(&c, 1);
    const std::string got = to_lower(utf8(one));
    const std::string want = icu_lower(one);
    lower.check(got == want, c,
                ": got \"" + escape_debug(got) + "\", ICU \"" + escape_debug(want) + "\"");
  }
}

// The Final_Sigma rule looks through case-ignorable characters for a cased one on both
// sides of a capital sigma; putting every code point next to one probes both properties.
TEST(TextIcu, FinalSigmaNextToEveryCodePoint) {
  constexpr char32_t SIGMA = 0x03A3;
  Differences before("sigma after the code point"),
      ignorable_before("sigma after A and the code point"), after("sigma before the code point"),
      ignorable_after("sigma before the code point and A");
  for (char32_t c = 0; c <= LAST_CODE_POINT; ++c) {
    if (is_surrogate(c)) {
      continue;
    }
    const std::u32string cases[] = {
        {c, SIGMA},
        {U'A', c, SIGMA},
        {U'A', SIGMA, c},
        {U'A', SIGMA, c, U'A'},
    };
    Differences* checks[] = {&before, &ignorable_before, &after, &ignorable_after};
    for (size_t k = 0; k < 4; ++k) {
      const std::string got = to_lower(utf8(cases[k]));
      const std::string want = icu_lower(cases[k]);
      checks[k]->check(got == want, c,
                       ": got \"" + escape_debug(got) + "\", ICU \"" + escape_debug(want) + "\"");
    }
  }
}

}  // namespace
}  // namespace brask
