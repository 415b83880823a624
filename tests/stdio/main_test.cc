// End-to-end tests of the built brask-ai-mcp program over its standard I/O.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/gateway_texts.h"
#include "support/paths.h"
#include "support/process.h"
#include "support/resources.h"

namespace brask {
namespace {

using testing::ProcessOptions;
using testing::RunOutcome;

constexpr size_t MAX_REQUEST_BYTES = 100663296;
const std::string USAGE_LINE = "usage: brask-ai-mcp --stdio\n";

// An apps folder of its own, so that no test reads the developer's own configuration.
class MainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apps_dir_ = dir_.path();
    // A valid file without apps: agents are on and start-up has nothing to warn about.
    FILE* file = fopen((apps_dir_ + "/apps.json").c_str(), "w");
    ASSERT_NE(file, nullptr);
    fputs("{\"version\":1}", file);
    fclose(file);
  }

  ProcessOptions options(std::vector<std::string> args = {"--stdio"}) const {
    ProcessOptions o;
    o.args = std::move(args);
    o.set_env = {{"BRASK_MCP_DIR", apps_dir_}};
    return o;
  }
  RunOutcome run(std::vector<std::string> args, std::string_view input = "") const {
    return testing::run_program(program(), options(std::move(args)), input);
  }
  std::unique_ptr<testing::Process> start(ProcessOptions o) const {
    auto started = testing::Process::start(program(), o);
    EXPECT_TRUE(started.ok()) << started.error();
    return started.ok() ? std::move(started).take() : nullptr;
  }
  static std::string program() { return testing::program_path("brask-ai-mcp"); }

  testing::TempDir dir_;
  std::string apps_dir_;
};

TEST_F(MainTest, CommandLine) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {
      {{}, 1, "", "brask-ai-mcp: nothing to do\n" + USAGE_LINE},
      {{"--help"}, 0, USAGE_LINE, ""},
      {{"-h"}, 0, USAGE_LINE, ""},
      {{"--stdio", "x"}, 1, "", "brask-ai-mcp: unknown arguments `--stdio x`\n" + USAGE_LINE},
      {{"--stdio", "--stdio"},
       1,
       "",
       "brask-ai-mcp: unknown arguments `--stdio --stdio`\n" + USAGE_LINE},
      {{"--help", "--stdio"},
       1,
       "",
       "brask-ai-mcp: unknown arguments `--help --stdio`\n" + USAGE_LINE},
      {{"--STDIO"}, 1, "", "brask-ai-mcp: unknown arguments `--STDIO`\n" + USAGE_LINE},
      {{"--stdio=1"}, 1, "", "brask-ai-mcp: unknown arguments `--stdio=1`\n" + USAGE_LINE},
      {{"--std"}, 1, "", "brask-ai-mcp: unknown arguments `--std`\n" + USAGE_LINE},
      {{"-H"}, 1, "", "brask-ai-mcp: unknown arguments `-H`\n" + USAGE_LINE},
      {{"help"}, 1, "", "brask-ai-mcp: unknown arguments `help`\n" + USAGE_LINE},
      {{""}, 1, "", "brask-ai-mcp: unknown arguments ``\n" + USAGE_LINE},
      {{"", ""}, 1, "", "brask-ai-mcp: unknown arguments ` `\n" + USAGE_LINE},
      {{"a b", "c"}, 1, "", "brask-ai-mcp: unknown arguments `a b c`\n" + USAGE_LINE},
      {{"\xff"}, 1, "", "brask-ai-mcp: unknown arguments `\xff`\n" + USAGE_LINE},
  };
  for (const auto& c : cases) {
    std::string trace;
    for (const auto& a : c.args)
      trace += "[" + a + "]";
    SCOPED_TRACE(trace);
    // Input that would be answered if it were read: refusals and help read nothing.
    RunOutcome outcome = run(c.args, "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n");
    EXPECT_TRUE(outcome.status.exited) << outcome.status.describe();
    EXPECT_EQ(outcome.status.code, c.status);
    EXPECT_EQ(outcome.stdout_text, c.out);
    EXPECT_EQ(outcome.stderr_text, c.err);
  }
}

TEST_F(MainTest, AnswersEachLineByteForByte) {
  const std::string invalid = R"({"error":{"code":-32600,"message":"Invalid Request"},"id":)";
  const struct {
    std::string request, want;  // want empty: no answer at all
  } cases[] = {
      {R"({"jsonrpc":"2.0","id":1,"method":"ping"})", R"({"id":1,"jsonrpc":"2.0","result":{}})"},
      {R"({"jsonrpc":"2.0","id":"p","method":"ping","params":"x"})",
       R"({"id":"p","jsonrpc":"2.0","result":{}})"},
      {R"({"jsonrpc":"2.0","id":2,"method":"initialize"})",
       R"({"id":2,"jsonrpc":"2.0","result":)" + std::string(testing::INITIALIZE_RESULT_TEXT) + "}"},
      {R"({"jsonrpc":"2.0","id":3,"method":"initialize","params":{"protocolVersion":"2025-11-25"}})",
       R"({"id":3,"jsonrpc":"2.0","result":{"capabilities":{"tools":{"listChanged":false}},"instructions":"Brask apps (Lumeno, Kinetta, Scribola, ...). Start with brask_list_apps, find a tool with brask_find_tools, read its parameters with brask_describe_tool, run it with brask_call_tool.","protocolVersion":"2025-11-25","serverInfo":{"name":"brask-ai-mcp","version":"0.1.0"}}})"},
      {R"({"jsonrpc":"2.0","id":4,"method":"tools/list"})",
       R"({"id":4,"jsonrpc":"2.0","result":{"tools":)" +
           std::string(testing::TOOL_DEFINITIONS_TEXT) + "}}"},
      {R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":5}})",
       R"({"error":{"code":-32602,"message":"`params.name` must be a string"},"id":5,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":6,"method":"tools/call","params":{"name":"lumeno_blur"}})",
       R"({"error":{"code":-32602,"message":"unknown tool `lumeno_blur`"},"id":6,"jsonrpc":"2.0"})"},
      {R"({"id":7,"method":"ping"})", invalid + R"(7,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":true,"method":"ping"})", invalid + R"(null,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":8,"result":{}})", invalid + R"(8,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0"})", invalid + R"(null,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":9,"method":"Ping"})",
       R"({"error":{"code":-32601,"message":"unknown method `Ping`"},"id":9,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":1e2,"method":"ping"})",
       R"({"id":100.0,"jsonrpc":"2.0","result":{}})"},
      {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", ""},
      {R"({"jsonrpc":"2.0","method":"no/such/method"})", ""},
      {"", ""},
      {" \t\r", ""},
      {"\v",
       R"({"error":{"code":-32700,"message":"expected value at line 1 column 1"},"id":null,"jsonrpc":"2.0"})"},
      {"[]",
       R"({"error":{"code":-32600,"message":"a request must be one JSON object"},"id":null,"jsonrpc":"2.0"})"},
      {"null",
       R"({"error":{"code":-32600,"message":"a request must be one JSON object"},"id":null,"jsonrpc":"2.0"})"},
      {"{",
       R"({"error":{"code":-32700,"message":"EOF while parsing an object at line 2 column 0"},"id":null,"jsonrpc":"2.0"})"},
  };
  auto process = start(options());
  ASSERT_TRUE(process);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    ASSERT_TRUE(process->write_stdin(c.request + "\n").ok());
    if (c.want.empty()) {
      // Nothing may come before the answer to the ping that follows.
      ASSERT_TRUE(process
                      ->write_stdin(R"({"jsonrpc":"2.0","id":"after","method":"ping"})"
                                    "\n")
                      .ok());
      EXPECT_EQ(process->read_line(), R"({"id":"after","jsonrpc":"2.0","result":{}})");
    } else {
      EXPECT_EQ(process->read_line(), c.want);
    }
  }
  process->close_stdin();
  bool complete = false;
  EXPECT_EQ(process->read_stdout_to_end(testing::DEFAULT_PROCESS_DEADLINE, &complete), "");
  testing::ExitStatus status = process->wait();
  EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
  EXPECT_EQ(process->stderr_text(), "");
}

TEST_F(MainTest, EndsQuietlyAtEndOfInput) {
  const struct {
    const char* name;
    bool close_stdin, close_stdout;
    std::string input;
  } cases[] = {
      {"empty input", false, false, ""},
      {"descriptor 0 closed", true, false, ""},
      // Answers then go to /dev/null.
      {"descriptor 1 closed", false, true,
       "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n[]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessOptions o = options();
    o.close_stdin = c.close_stdin;
    o.close_stdout = c.close_stdout;
    RunOutcome outcome = testing::run_program(program(), o, c.input);
    EXPECT_TRUE(outcome.status.exited && outcome.status.code == 0) << outcome.status.describe();
    EXPECT_EQ(outcome.stdout_text, "");
    EXPECT_EQ(outcome.stderr_text, "");
  }
}

TEST_F(MainTest, ClosedOutputEndsWithBrokenPipe) {
  auto process = start(options());
  ASSERT_TRUE(process);
  process->close_stdout();
  // Request threads fail to write quietly; the loop's own answer ends serving.
  ASSERT_TRUE(process->write_stdin("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n").ok());
  ASSERT_TRUE(process->write_stdin("[]\n").ok());
  testing::ExitStatus status = process->wait();
  EXPECT_TRUE(status.exited && status.code == 1) << status.describe();
  EXPECT_EQ(process->stderr_text(), "brask-ai-mcp: Broken pipe (os error 32)\n");
}

#if defined(__SANITIZE_THREAD__)
#define BRASK_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BRASK_TSAN 1
#endif
#endif

TEST_F(MainTest, RefusedThreadFailsThatRequestAndServingGoesOn) {
#ifdef BRASK_TSAN
  GTEST_SKIP() << "ThreadSanitizer cannot run with the stack limit used here";
#endif
  const std::string prlimit = "/usr/bin/prlimit";
  if (access(prlimit.c_str(), X_OK) != 0)
    GTEST_SKIP() << "needs " << prlimit;
  // New threads take the stack limit as their stack size; 256 TiB cannot be mapped.
  ProcessOptions o = options({"--stack=281474976710656", program(), "--stdio"});
  RunOutcome outcome =
      testing::run_program(prlimit, o, "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n[]\n");
  EXPECT_TRUE(outcome.status.exited && outcome.status.code == 0) << outcome.status.describe();
  EXPECT_EQ(
      outcome.stdout_text,
      R"json({"error":{"code":-32603,"message":"failed to spawn thread: Resource temporarily unavailable (os error 11)"},"id":1,"jsonrpc":"2.0"})json"
      "\n"
      R"({"error":{"code":-32600,"message":"a request must be one JSON object"},"id":null,"jsonrpc":"2.0"})"
      "\n");
  EXPECT_EQ(outcome.stderr_text, "");
}

// Large answers from many threads at once: each line must be one whole answer.
TEST_F(MainTest, ConcurrentAnswersNeverInterleave) {
  constexpr int REQUESTS = 48;
  const std::string name(256 * 1024, 'n');
  std::string input;
  for (int id = 0; id < REQUESTS; ++id) {
    input += R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
             R"(,"method":"tools/call","params":{"name":")" + name + "\"}}\n";
  }
  RunOutcome outcome = run({"--stdio"}, input);
  EXPECT_TRUE(outcome.status.exited && outcome.status.code == 0) << outcome.status.describe();
  std::set<int> answered;
  for (const std::string& line : outcome.stdout_lines()) {
    // Requests may outrun the sixteen slots; those are refused, but still answered.
    size_t id_at = line.find(R"("id":)");
    ASSERT_NE(id_at, std::string::npos) << line.substr(0, 200);
    int id = std::atoi(line.c_str() + id_at + 5);
    EXPECT_TRUE(answered.insert(id).second) << "answered twice: " << id;
    std::string unknown = R"({"error":{"code":-32602,"message":"unknown tool `)" + name +
                          "`\"},\"id\":" + std::to_string(id) + ",\"jsonrpc\":\"2.0\"}";
    std::string busy =
        R"({"error":{"code":-32000,"message":"16 requests are already running; try again when one finishes"},"id":)" +
        std::to_string(id) + ",\"jsonrpc\":\"2.0\"}";
    EXPECT_TRUE(line == unknown || line == busy) << line.substr(0, 200);
  }
  EXPECT_EQ(answered.size(), static_cast<size_t>(REQUESTS));
}

// Writes `head`, then `fill` bytes of 'a', then `tail` from a thread of its own,
// reusing one chunk, so that the test can read answers meanwhile.
std::thread write_big_input(testing::Process* process, std::string head, size_t fill,
                            std::string tail, bool close) {
  return std::thread([=] {
    const std::string chunk(1 << 20, 'a');
    bool ok = process->write_stdin(head).ok();
    for (size_t left = fill; ok && left > 0;) {
      size_t n = std::min(left, chunk.size());
      ok = process->write_stdin(std::string_view(chunk).substr(0, n)).ok();
      left -= n;
    }
    if (ok)
      ok = process->write_stdin(tail).ok();
    if (close)
      process->close_stdin();
  });
}

const std::string TOO_LARGE =
    R"({"error":{"code":-32700,"message":"request larger than 100663296 bytes"},"id":null,"jsonrpc":"2.0"})";

TEST_F(MainTest, LineOfTheMaximumSizeIsParsed) {
  auto process = start(options());
  ASSERT_TRUE(process);
  const std::string head = R"({"jsonrpc":"2.0","id":1,"method":"ping","params":")";
  const std::string tail = "\"}";
  std::thread writer = write_big_input(process.get(), head,
                                       MAX_REQUEST_BYTES - head.size() - tail.size(), tail + "\n",
                                       /*close=*/true);
  EXPECT_EQ(process->read_line(), R"({"id":1,"jsonrpc":"2.0","result":{}})");
  writer.join();
  EXPECT_EQ(process->read_line(), std::nullopt);
  EXPECT_EQ(process->wait().code, 0);
}

TEST_F(MainTest, LastLineWithoutLineFeedOfTheMaximumSizeIsParsed) {
  auto process = start(options());
  ASSERT_TRUE(process);
  const std::string head = R"({"jsonrpc":"2.0","id":1,"method":"ping","params":")";
  const std::string tail = "\"}";
  std::thread writer =
      write_big_input(process.get(), head, MAX_REQUEST_BYTES - head.size() - tail.size(), tail,
                      /*close=*/true);
  EXPECT_EQ(process->read_line(), R"({"id":1,"jsonrpc":"2.0","result":{}})");
  writer.join();
  EXPECT_EQ(process->wait().code, 0);
}

TEST_F(MainTest, OverlongLineIsRefusedAndTheNextLineServed) {
  auto process = start(options());
  ASSERT_TRUE(process);
  const std::string head = R"({"jsonrpc":"2.0","id":1,"method":"ping","params":")";
  const std::string tail = "\"}";
  // One byte over the limit, then a request on the next line.
  std::thread writer = write_big_input(
      process.get(), head, MAX_REQUEST_BYTES + 1 - head.size() - tail.size(),
      tail + "\n{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"ping\"}\n", /*close=*/true);
  EXPECT_EQ(process->read_line(), TOO_LARGE);
  EXPECT_EQ(process->read_line(), R"({"id":2,"jsonrpc":"2.0","result":{}})");
  writer.join();
  EXPECT_EQ(process->read_line(), std::nullopt);
  EXPECT_EQ(process->wait().code, 0);
}

TEST_F(MainTest, DiscardingAnOverlongLineKeepsMemoryNearOneLine) {
#ifdef BRASK_SANITIZED
  GTEST_SKIP() << "sanitizers change how memory is allocated and counted";
#endif
  auto process = start(options());
  ASSERT_TRUE(process);
  // Three times the limit in one line: a buffer that kept growing would show it.
  std::thread writer = write_big_input(process.get(), "", 3 * MAX_REQUEST_BYTES,
                                       "\n{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"ping\"}\n",
                                       /*close=*/false);
  EXPECT_EQ(process->read_line(), TOO_LARGE);
  EXPECT_EQ(process->read_line(), R"({"id":2,"jsonrpc":"2.0","result":{}})");
  writer.join();
  std::optional<long> peak_kib = process->peak_memory_kib();
  ASSERT_TRUE(peak_kib);
  const long line_kib = static_cast<long>(MAX_REQUEST_BYTES / 1024);
  std::cout << "peak resident memory: " << *peak_kib << " KiB for a line budget of " << line_kib
            << " KiB\n";
  EXPECT_LT(*peak_kib, line_kib + line_kib / 4);
  process->close_stdin();
  EXPECT_EQ(process->wait().code, 0);
}

}  // namespace
}  // namespace brask
