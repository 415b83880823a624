// demo-client, run for real against a sample app: the transcript it prints for a script,
// and how it fails a step that gets no answer.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <string>

#include "support/paths.h"
#include "support/process.h"
#include "support/resources.h"

namespace brask::testing {
namespace {

class DemoClient : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = temp_dir_.path(); }

  RunOutcome play(const std::string& script, std::vector<std::string> extra = {}) {
    std::ofstream(dir_ + "/script.json") << script;
    ProcessOptions options;
    options.args = {"--no-pause"};
    options.args.insert(options.args.end(), extra.begin(), extra.end());
    for (std::string a : {dir_ + "/script.json", std::string("--"),
                          program_path("brask-sample-app"), std::string("lumeno")}) {
      options.args.push_back(a);
    }
    return run_program(program_path("demo-client"), options, "");
  }

  TempDir temp_dir_;
  std::string dir_;
};

// Answer times vary from run to run.
std::string without_times(const std::string& text) {
  return std::regex_replace(text, std::regex("after [0-9]+\\.[0-9] s"), "after T s");
}

// Whether every multi-byte sequence in `text` is complete.
bool whole_utf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > text.size())
      return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
        return false;
    }
    i += length;
  }
  return true;
}

TEST_F(DemoClient, PrintsEachStepWithRequestAndReadableAnswer) {
  std::string flag = dir_ + "/switch.json";
  std::ofstream(flag) << "{}";
  auto outcome = play(R"({"steps": [
    {"say": "Hello", "request": {"method": "ping"}},
    {"say": "Told", "notify": {"method": "notifications/initialized"}},
    {"say": "Layers", "request": {"method": "tools/call", "params": {"name": "list_layers"}}, "max_lines": 3},
    {"say": "Oops", "request": {"method": "tools/call", "params": {"name": "undo", "arguments": {}}},
     "note": "Nothing was changed yet."},
    {"say": "Off", "remove_file": ")" +
                      flag + R"("},
    {"say": "On", "restore_file": ")" +
                      flag + R"("}
  ]})");
  EXPECT_EQ(outcome.status.describe(), "exited with status 0") << outcome.stderr_text;
  EXPECT_EQ(without_times(outcome.stdout_text),
            "\n"
            "── Step 1 of 6: Hello\n"
            "  → agent sends a request\n"
            "    {\"id\": 1, \"jsonrpc\": \"2.0\", \"method\": \"ping\"}\n"
            "  ← gateway answers after T s\n"
            "    {\"id\": 1, \"jsonrpc\": \"2.0\", \"result\": {}}\n"
            "\n"
            "── Step 2 of 6: Told\n"
            "  → agent sends a notification (no answer expected)\n"
            "    {\"jsonrpc\": \"2.0\", \"method\": \"notifications/initialized\"}\n"
            "\n"
            "── Step 3 of 6: Layers\n"
            "  → agent sends a request\n"
            "    {\"id\": 2, \"jsonrpc\": \"2.0\", \"method\": \"tools/call\", \"params\": "
            "{\"name\": \"list_layers\"}}\n"
            "  ← gateway answers after T s\n"
            "    "
            "{\"id\":2,\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":\"…\",\"type\":"
            "\"text\"}]}}\n"
            "  the tool's text:\n"
            "    {\n"
            "      \"layers\": [\n"
            "    … 13 more lines not shown\n"
            "\n"
            "── Step 4 of 6: Oops\n"
            "  → agent sends a request\n"
            "    {\"id\": 3, \"jsonrpc\": \"2.0\", \"method\": \"tools/call\", \"params\": "
            "{\"arguments\": {}, \"name\": \"undo\"}}\n"
            "  ← gateway answers after T s\n"
            "    "
            "{\"id\":3,\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":\"…\",\"type\":"
            "\"text\"}],\"isError\":true}}\n"
            "  the tool's text, marked as an error (\"isError\": true):\n"
            "    there is nothing to undo\n"
            "  » Nothing was changed yet.\n"
            "\n"
            "── Step 5 of 6: Off\n"
            "  ✂ removed " +
                flag +
                "\n"
                "\n"
                "── Step 6 of 6: On\n"
                "  ↺ restored " +
                flag +
                "\n"
                "\n"
                "The gateway's input ended; it exited with status 0.\n");
  EXPECT_EQ(access(flag.c_str(), F_OK), 0);
}

TEST_F(DemoClient, WrapsLongLinesAtSpacesAndNeverInsideACharacter) {
  // 60 words of five letters, then a 120-character word of two-byte letters (é).
  std::string words, long_word;
  for (int i = 0; i < 60; ++i)
    words += "words ";
  for (int i = 0; i < 120; ++i)
    long_word += "\u00e9";
  auto outcome = play(R"({"steps": [
    {"say": "Text", "request": {"method": "tools/call", "params": {"name": "add_text_layer",
      "arguments": {"text": ")" +
                      words + long_word + R"("}}}, "max_lines": 100}
  ]})");
  EXPECT_EQ(outcome.status.describe(), "exited with status 0");
  std::vector<std::string> lines = outcome.stdout_lines();
  size_t continued = 0;
  for (const std::string& line : lines) {
    EXPECT_LE(line.size(), 100u) << line;
    EXPECT_TRUE(whole_utf8(line)) << line;
    size_t start = line.find_first_not_of(' ');
    if (start != std::string::npos && line.compare(start, 6, "words ") == 0)
      ++continued;
  }
  EXPECT_GE(continued, 2u) << outcome.stdout_text;
}

TEST_F(DemoClient, StopsAtAStepThatGetsNoAnswerInTime) {
  auto outcome = play(R"({"steps": [
    {"say": "Slow", "request": {"method": "tools/call", "params": {"name": "render_preview", "arguments": {"seconds": 3}}}},
    {"say": "Never reached", "request": {"method": "ping"}}
  ]})",
                      {"--step-timeout", "1"});
  EXPECT_EQ(outcome.status.describe(), "exited with status 1");
  EXPECT_NE(outcome.stdout_text.find("  no answer: no answer in time\n"), std::string::npos)
      << outcome.stdout_text;
  EXPECT_EQ(outcome.stdout_text.find("Never reached"), std::string::npos);
}

TEST_F(DemoClient, RefusesABrokenScriptOrCommandLine) {
  const struct {
    std::vector<std::string> args;
    const char* stderr_start;
  } cases[] = {
      {{}, "demo-client: a script and a command are needed\n"},
      {{"--frobnicate"}, "demo-client: unknown argument `--frobnicate`\n"},
      {{"/no/such/script", "--", "true"},
       "demo-client: /no/such/script: No such file or directory (os error 2)\n"},
  };
  for (const auto& c : cases) {
    ProcessOptions options;
    options.args = c.args;
    auto outcome = run_program(program_path("demo-client"), options, "");
    EXPECT_NE(outcome.status.describe(), "exited with status 0");
    EXPECT_EQ(outcome.stderr_text.rfind(c.stderr_start, 0), 0u) << outcome.stderr_text;
  }
  auto outcome = play(R"({"no_steps": []})");
  EXPECT_EQ(outcome.status.describe(), "exited with status 1");
  EXPECT_EQ(outcome.stderr_text, "demo-client: " + dir_ + "/script.json: no \"steps\" list\n");
}

}  // namespace
}  // namespace brask::testing
