#include "text/text.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace brask {
namespace {

TEST(Text, EscapeDebug) {
  const struct {
    std::string_view name, in, want;
  } cases[] = {
      {"plain id", "lumeno", "lumeno"},
      {"LINE FEED", "a\nb", "a\\nb"},
      {"CHARACTER TABULATION", "a\tb", "a\\tb"},
      {"CARRIAGE RETURN", "a\rb", "a\\rb"},
      {"NULL", std::string_view("a\0b", 3), "a\\0b"},
      {"QUOTATION MARK", "a\"b", "a\\\"b"},
      {"APOSTROPHE", "it's", "it\\'s"},
      {"REVERSE SOLIDUS", "a\\b", "a\\\\b"},
      {"SPACE stays", "a b", "a b"},
      {"ESCAPE (Cc)", "\x1b[0m", "\\u{1b}[0m"},
      {"DELETE (Cc)", "\x7f", "\\u{7f}"},
      {"COMBINING ACUTE ACCENT U+0301 after e", "e\xCC\x81", "e\\u{301}"},
      {"COMBINING ACUTE ACCENT U+0301 alone", "\xCC\x81", "\\u{301}"},
      {"ZERO WIDTH SPACE U+200B (Cf)", "a\xE2\x80\x8B", "a\\u{200b}"},
      {"NO-BREAK SPACE U+00A0 (Zs)", "a\xC2\xA0z", "a\\u{a0}z"},
      {"IDEOGRAPHIC SPACE U+3000 (Zs)", "\xE3\x80\x80", "\\u{3000}"},
      {"LINE SEPARATOR U+2028 (Zl)", "\xE2\x80\xA8", "\\u{2028}"},
      {"NEXT LINE U+0085 (Cc)", "\xC2\x85", "\\u{85}"},
      {"private use U+E000 (Co)", "\xEE\x80\x80", "\\u{e000}"},
      {"unassigned U+0378 (Cn)", "\xCD\xB8", "\\u{378}"},
      {"unassigned U+10FFFF (Cn, plane 16 is Co only to U+10FFFD)", "\xF4\x8F\xBF\xBF",
       "\\u{10ffff}"},
      {"GRINNING FACE U+1F600 stays", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"LATIN SMALL LETTER E WITH ACUTE U+00E9 stays", "caf\xC3\xA9", "caf\xC3\xA9"},
      {"HIRAGANA LETTER A U+3042 stays", "\xE3\x81\x82", "\xE3\x81\x82"},
      {"stray continuation byte 0x80", "a\x80z", "a\xEF\xBF\xBDz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(escape_debug(c.in), c.want);
  }
}

TEST(Text, TrimWhiteSpace) {
  const struct {
    std::string_view name, in, want;
  } cases[] = {
      {"nothing to trim", "Lumeno", "Lumeno"},
      {"SPACE both ends, inner kept", "  Brask Anything  ", "Brask Anything"},
      {"tab, line feed, vertical tab, form feed, carriage return", "\t\n\v\f\rx\r\n", "x"},
      {"IDEOGRAPHIC SPACE U+3000", "\xE3\x80\x80x\xE3\x80\x80", "x"},
      {"NEXT LINE U+0085", "\xC2\x85x\xC2\x85", "x"},
      {"NO-BREAK SPACE U+00A0 and EM SPACE U+2003", "\xC2\xA0\xE2\x80\x83x\xC2\xA0", "x"},
      {"PARAGRAPH SEPARATOR U+2029", "\xE2\x80\xA9x", "x"},
      {"ZERO WIDTH SPACE U+200B is not white space", "\xE2\x80\x8Bx\xE2\x80\x8B",
       "\xE2\x80\x8Bx\xE2\x80\x8B"},
      {"INFORMATION SEPARATOR ONE U+001F is not white space", "\x1f x \x1f", "\x1f x \x1f"},
      {"only white space", " \xE3\x80\x80\t", ""},
      {"empty", "", ""},
      {"non-ASCII letter at the end: LATIN SMALL LETTER O WITH DIAERESIS", " h\xC3\xB6 ",
       "h\xC3\xB6"},
      {"truncated IDEOGRAPHIC SPACE at the end is not trimmed", "x \xE3\x80", "x \xE3\x80"},
      {"stray continuation bytes of U+3000 at the end are kept", "x\x80\x80", "x\x80\x80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(trim_white_space(c.in), c.want);
  }
}

TEST(Text, ToLower) {
  const struct {
    std::string_view name, in, want;
  } cases[] = {
      {"ASCII", "Hello, WORLD 42 _-[]@`{", "hello, world 42 _-[]@`{"},
      {"empty", "", ""},
      {"GREEK CAPITAL LETTER SIGMA thrice: ΣΑΣ", "\xCE\xA3\xCE\x91\xCE\xA3",
       "\xCF\x83\xCE\xB1\xCF\x82"},
      {"LATIN CAPITAL LETTER I WITH DOT ABOVE U+0130 becomes i and COMBINING DOT ABOVE", "\xC4\xB0",
       "i\xCC\x87"},
      {"İSTANBUL", "\xC4\xB0STANBUL", "i\xCC\x87stanbul"},
      {"LATIN CAPITAL LETTER A WITH DIAERESIS U+00C4", "\xC3\x84rger", "\xC3\xA4rger"},
      {"LATIN SMALL LETTER SHARP S U+00DF stays",
       "Gr\xC3\x9F"
       "e",
       "gr\xC3\x9F"
       "e"},
      {"LATIN CAPITAL LETTER SHARP S U+1E9E", "\xE1\xBA\x9E", "\xC3\x9F"},
      {"KELVIN SIGN U+212A becomes k", "\xE2\x84\xAA", "k"},
      {"LATIN CAPITAL LETTER A WITH STROKE U+023A grows to 3 bytes", "\xC8\xBA", "\xE2\xB1\xA5"},
      {"CYRILLIC CAPITAL LETTER ZHE U+0416", "\xD0\x96", "\xD0\xB6"},
      {"DESERET CAPITAL LETTER LONG I U+10400", "\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},
      {"ROMAN NUMERAL ONE U+2160", "\xE2\x85\xA0", "\xE2\x85\xB0"},
      {"GREEK CAPITAL LETTER OMEGA WITH PSILI AND PROSGEGRAMMENI U+1FA8", "\xE1\xBE\xA8",
       "\xE1\xBE\xA0"},
      {"sigma alone is not final", "\xCE\xA3", "\xCF\x83"},
      {"sigma after a word and before a space is final", "A\xCE\xA3 b", "a\xCF\x82 b"},
      {"sigma inside a word is not final",
       "A\xCE\xA3"
       "B",
       "a\xCF\x83"
       "b"},
      {"sigma at the start of a word is not final",
       " \xCE\xA3"
       "A",
       " \xCF\x83"
       "a"},
      {"APOSTROPHE is case-ignorable before the sigma", "A'\xCE\xA3", "a'\xCF\x82"},
      {"APOSTROPHE is case-ignorable after the sigma", "A\xCE\xA3'B", "a\xCF\x83'b"},
      {"FULL STOP after the sigma, then end", "A\xCE\xA3.", "a\xCF\x82."},
      {"COMBINING ACUTE ACCENT U+0301 before the sigma", "A\xCC\x81\xCE\xA3", "a\xCC\x81\xCF\x82"},
      {"digit before the sigma is not cased", "1\xCE\xA3", "1\xCF\x83"},
      {"MODIFIER LETTER SMALL H U+02B0 (cased and ignorable) is skipped", "\xCA\xB0\xCE\xA3",
       "\xCA\xB0\xCF\x83"},
      {"invalid bytes pass through",
       "A\xFF"
       "B\xC3",
       "a\xFF"
       "b\xC3"},
      {"invalid byte between cased letter and sigma is not ignorable", "A\xFF\xCE\xA3",
       "a\xFF\xCF\x83"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(to_lower(c.in), c.want);
  }
}

std::string repeat(std::string_view piece, int times) {
  std::string out;
  for (int k = 0; k < times; ++k) {
    out += piece;
  }
  return out;
}

// Long inputs cross the word-at-a-time ASCII path and the growth of the output buffer.
TEST(Text, ToLowerOfLongTexts) {
  const struct {
    std::string name, in, want;
  } cases[] = {
      {"LATIN CAPITAL LETTER A WITH DIAERESIS U+00C4, then 400 ASCII bytes, then a final "
       "GREEK CAPITAL LETTER SIGMA",
       "\xC3\x84" + repeat("AbC'", 100) + "\xCE\xA3",
       "\xC3\xA4" + repeat("abc'", 100) + "\xCF\x82"},
      {"1000 LATIN CAPITAL LETTER A WITH STROKE U+023A, each growing from 2 to 3 bytes",
       repeat("\xC8\xBA", 1000), repeat("\xE2\xB1\xA5", 1000)},
      {"1000 LATIN CAPITAL LETTER I WITH DOT ABOVE U+0130, each growing from 2 to 3 bytes",
       repeat("\xC4\xB0", 1000), repeat("i\xCC\x87", 1000)},
      {"ASCII runs of every length from 0 to 20 between CYRILLIC CAPITAL LETTER ZHE U+0416",
       [] {
         std::string s;
         for (int k = 0; k <= 20; ++k) {
           s += std::string(static_cast<size_t>(k), 'Q') + "\xD0\x96";
         }
         return s;
       }(),
       [] {
         std::string s;
         for (int k = 0; k <= 20; ++k) {
           s += std::string(static_cast<size_t>(k), 'q') + "\xD0\xB6";
         }
         return s;
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(to_lower(c.in), c.want);
  }
}

TEST(Text, SplitWords) {
  const struct {
    std::string_view name, in;
    std::vector<std::string_view> want;
  } cases[] = {
      {"hyphen and underscore separate", "New-Layer export_pdf", {"New", "Layer", "export", "pdf"}},
      {"digits are word characters", "v2 42x", {"v2", "42x"}},
      {"only punctuation", " -_.,!? ", {}},
      {"empty", "", {}},
      {"LATIN SMALL LETTER U WITH DIAERESIS U+00FC", "gr\xC3\xBCn blau", {"gr\xC3\xBCn", "blau"}},
      {"CJK ideographs U+4E2D U+6587", "\xE4\xB8\xAD\xE6\x96\x87!", {"\xE4\xB8\xAD\xE6\x96\x87"}},
      {"SUPERSCRIPT TWO U+00B2 (No)", "m\xC2\xB2", {"m\xC2\xB2"}},
      {"ROMAN NUMERAL TWELVE U+216B (Nl)", "\xE2\x85\xAB", {"\xE2\x85\xAB"}},
      {"ARABIC-INDIC DIGIT ONE U+0661 (Nd)", "x\xD9\xA1", {"x\xD9\xA1"}},
      {"NO-BREAK SPACE U+00A0 separates",
       "a\xC2\xA0"
       "b",
       {"a", "b"}},
      {"GRINNING FACE U+1F600 separates",
       "a\xF0\x9F\x98\x80"
       "b",
       {"a", "b"}},
      {"COMBINING ACUTE ACCENT U+0301 separates (not Alphabetic)", "e\xCC\x81x", {"e", "x"}},
      {"invalid byte separates",
       "a\xFF"
       "b",
       {"a", "b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(split_words(c.in), c.want);
  }
}

TEST(Text, CountAndFirstChars) {
  const struct {
    std::string_view name, in;
    size_t count;
    size_t cut;
    std::string_view first;
  } cases[] = {
      {"ASCII", "hello", 5, 3, "hel"},
      {"empty", "", 0, 3, ""},
      {"cut beyond the end", "ab", 2, 10, "ab"},
      {"cut at zero", "ab", 2, 0, ""},
      {"HORIZONTAL ELLIPSIS U+2026",
       "a\xE2\x80\xA6"
       "b",
       3, 2, "a\xE2\x80\xA6"},
      {"GRINNING FACE U+1F600 is one character", "\xF0\x9F\x98\x80x", 2, 1, "\xF0\x9F\x98\x80"},
      {"long ASCII then LATIN SMALL LETTER E WITH ACUTE U+00E9", "0123456789abcdef\xC3\xA9z", 18,
       17, "0123456789abcdef\xC3\xA9"},
      {"each invalid byte is one character", "\xE2\x80x", 3, 1, "\xE2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(count_chars(c.in), c.count);
    EXPECT_EQ(first_chars(c.in, c.cut), c.first);
  }
}

TEST(Text, DecodeUtf8) {
  const struct {
    std::string_view name, in;
    std::vector<char32_t> want;
  } cases[] = {
      {"ASCII", "aZ", {U'a', U'Z'}},
      {"two, three and four bytes: U+00E9 U+20AC U+1F600",
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       {0xE9, 0x20AC, 0x1F600}},
      {"largest code point U+10FFFF", "\xF4\x8F\xBF\xBF", {0x10FFFF}},
      {"overlong slash C0 AF", "\xC0\xAF", {0xFFFD, 0xFFFD}},
      {"overlong three-byte E0 80 80", "\xE0\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD}},
      {"surrogate U+D800 as ED A0 80", "\xED\xA0\x80", {0xFFFD, 0xFFFD, 0xFFFD}},
      {"above U+10FFFF: F4 90 80 80", "\xF4\x90\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},
      {"truncated then ASCII",
       "\xE2\x82"
       "a",
       {0xFFFD, 0xFFFD, U'a'}},
      {"F5 lead byte", "\xF5\x80", {0xFFFD, 0xFFFD}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<char32_t> got;
    size_t pos = 0;
    while (pos < c.in.size()) {
      got.push_back(decode_utf8(c.in, &pos));
    }
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(pos, c.in.size());
  }
  size_t past = 7;
  EXPECT_EQ(decode_utf8("ab", &past), char32_t{0xFFFD});
  EXPECT_EQ(past, 2u);
}

TEST(Text, AppendUtf8RoundTripsEveryScalarValue) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) {
      continue;
    }
    std::string s;
    append_utf8(&s, c);
    size_t pos = 0;
    ASSERT_EQ(decode_utf8(s, &pos), c) << std::hex << "U+" << static_cast<uint32_t>(c);
    ASSERT_EQ(pos, s.size()) << std::hex << "U+" << static_cast<uint32_t>(c);
  }
  const struct {
    std::string_view name;
    char32_t in;
  } refused[] = {{"surrogate U+D800", 0xD800}, {"U+110000", 0x110000}};
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    std::string s;
    append_utf8(&s, c.in);
    EXPECT_EQ(s, "\xEF\xBF\xBD");
  }
}

TEST(Text, LossyUtf8) {
  const struct {
    std::string_view name, in, want;
  } cases[] = {
      {"valid text unchanged", "/home/a/\xC3\xA9t\xC3\xA9", "/home/a/\xC3\xA9t\xC3\xA9"},
      {"Latin-1 byte E9", "caf\xE9", "caf\xEF\xBF\xBD"},
      {"truncated EURO SIGN is one replacement",
       "\xE2\x82"
       "x",
       "\xEF\xBF\xBDx"},
      {"two stray continuation bytes are two", "\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate ED A0 80 is three", "\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"FF at the end", "ok\xFF", "ok\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(lossy_utf8(c.in), c.want);
  }
}

}  // namespace
}  // namespace brask
