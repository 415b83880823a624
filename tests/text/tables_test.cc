#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/paths.h"
#include "support/process.h"

namespace brask {
namespace {

constexpr char UCD_DIR[] = "/usr/share/unicode";
constexpr char PYTHON[] = "/usr/bin/python3";

// The committed tables must be what the generator writes today, or an edit of one
// without the other slips through.
TEST(UnicodeTables, CommittedFileMatchesTheGenerator) {
  if (!std::filesystem::exists(std::string(UCD_DIR) + "/UnicodeData.txt") ||
      !std::filesystem::exists(PYTHON)) {
    GTEST_SKIP() << "needs " << UCD_DIR << " and " << PYTHON;
  }
  testing::ProcessOptions options;
  options.args = {testing::source_dir() + "/tools/gen-unicode-tables.py", UCD_DIR};
  const testing::RunOutcome generated = testing::run_program(PYTHON, options, "");
  ASSERT_TRUE(generated.status.exited && generated.status.code == 0)
      << generated.status.describe() << ": " << generated.stderr_text;

  std::ifstream file(testing::source_dir() + "/src/text/unicode_tables.cc", std::ios::binary);
  ASSERT_TRUE(file.good());
  std::stringstream committed;
  committed << file.rdbuf();
  EXPECT_TRUE(generated.stdout_text == committed.str())
      << "src/text/unicode_tables.cc is stale; regenerate it with tools/gen-unicode-tables.py";
}

}  // namespace
}  // namespace brask
