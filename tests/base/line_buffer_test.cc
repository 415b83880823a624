#include "base/line_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brask {
namespace {

// Bytes survive every growth step (the first block, doublings, growth capped by the
// limit, one append past the limit) and clearing, whatever the buffer gave back.
TEST(LineBuffer, KeepsEveryByteAcrossGrowthAndClear) {
  const struct {
    const char* what;
    size_t limit, kept;
    std::vector<size_t> pieces;
  } cases[] = {
      {"nothing", 1 << 20, 1 << 20, {0, 0}},
      {"small pieces", 1 << 20, 1 << 20, {1, 7, 4095, 1, 3}},
      {"doubling", 1 << 20, 1 << 20, {3000, 3000, 9000, 70000}},
      {"growth capped by the limit", 10000, 1 << 20, {6000, 3000, 1000}},
      {"one piece past the limit", 10000, 1 << 20, {9000, 5000}},
      {"large buffer given back on clear", 1 << 24, 4096, {1 << 20, 5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LineBuffer buffer(c.limit, c.kept);
    for (int round = 0; round < 2; ++round) {
      std::string want;
      for (size_t size : c.pieces) {
        std::string piece(size, static_cast<char>('a' + want.size() % 26));
        ASSERT_TRUE(buffer.append(piece.data(), piece.size()));
        want += piece;
      }
      ASSERT_EQ(buffer.size(), want.size());
      EXPECT_TRUE(buffer.view() == want);
      buffer.clear();
      EXPECT_EQ(buffer.size(), 0u);
      EXPECT_TRUE(buffer.view().empty());
    }
  }
}

}  // namespace
}  // namespace brask
