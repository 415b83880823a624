#include "base/bytes.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace brask {
namespace {

// The block validator against the one that decodes sequence by sequence: every one- to
// three-byte text, four-byte texts around every lead, and random texts of mostly
// well-formed pieces at every offset of a block, where the tail handling differs.
TEST(Utf8, BlockAndSequenceValidatorsAgree) {
  auto agree = [](const std::string& text) {
    const char* p = text.data();
    // Reads may run to the end of the buffer, so the run is checked inside a larger text too.
    const std::string padded = text + "\"0123456789abcdef";
    EXPECT_EQ(valid_utf8(p, p + text.size(), p + text.size()),
              valid_utf8_scalar(p, p + text.size(), p + text.size()))
        << testing::PrintToString(text);
    EXPECT_EQ(valid_utf8(padded.data(), padded.data() + text.size(), padded.data() + padded.size()),
              valid_utf8_scalar(p, p + text.size(), p + text.size()))
        << testing::PrintToString(text);
  };
  for (int a = 0x80; a < 0x100; ++a) {
    for (int b = 0; b < 0x100; ++b) {
      agree({static_cast<char>(a), static_cast<char>(b)});
      for (int c : {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xF4})
        agree({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)});
    }
  }
  for (int a = 0xE0; a < 0x100; ++a)
    for (int b = 0x80; b < 0xC0; ++b)
      for (int c = 0x80; c < 0xC0; ++c)
        for (int d : {0x41, 0x80, 0xBF, 0xC2})
          agree({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c),
                 static_cast<char>(d)});
  const char* const pieces[] = {"a",
                                "plain ",
                                "\xc3\xa9",
                                "\xe6\xbc\xa2",
                                "\xf0\x9f\x98\x80",
                                "\xed\x9f\xbf",
                                "\xf4\x8f\xbf\xbf",
                                "\x80",
                                "\xc3",
                                "\xe6\xbc",
                                "\xf0\x9f\x98",
                                "\xed\xa0\x80",
                                "\xf4\x90\x80\x80",
                                "\xc0\xaf"};
  std::mt19937 rng(11);
  for (int i = 0; i < 20000; ++i) {
    std::string text(rng() % 20, 'x');
    const int count = 1 + static_cast<int>(rng() % 12);
    for (int k = 0; k < count; ++k) {
      const size_t n = rng() % 100 < 95 ? rng() % 7 : std::size(pieces) - 1 - rng() % 7;
      text += pieces[n % std::size(pieces)];
    }
    agree(text);
  }
}

}  // namespace
}  // namespace brask
