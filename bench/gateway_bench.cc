// gateway_bench.cc: whole-gateway figures, each measured next to its baseline in the
// same run: the built brask-ai-mcp relaying to bin/fake-app against the same exchange
// done directly with fake-app over a pipe, and the gateway's start-up against a C
// program that echoes one line (bin/floor). Prints a Markdown table; bench/run drives it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double micros_since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "gateway_bench: %s\n", what.c_str());
  std::exit(1);
}

// A child with its standard input and output on pipes; standard error is dropped.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args,
        const std::vector<std::string>& extra_env) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
      die("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> argv_text = {program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = extra_env;
    for (char** e = environ; *e; ++e)
      env_text.emplace_back(*e);
    std::vector<char*> env;
    for (std::string& e : env_text)
      env.push_back(e.data());
    env.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), env.data()) != 0)
      die("cannot start " + program);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    close_stdin();
    if (stdout_ >= 0)
      close(stdout_);
    if (pid_ > 0) {
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }

  pid_t pid() const { return pid_; }

  void write_line(std::string_view line) {
    while (!line.empty()) {
      ssize_t put = write(stdin_, line.data(), line.size());
      if (put < 0 && errno == EINTR)
        continue;
      if (put <= 0)
        die("write to child failed");
      line.remove_prefix(static_cast<size_t>(put));
    }
  }

  // The next line without its end; an answer may be megabytes long.
  std::string read_line() {
    for (;;) {
      if (size_t end = buffer_.find('\n', scanned_); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        scanned_ = 0;
        return line;
      }
      scanned_ = buffer_.size();
      const size_t old = buffer_.size();
      buffer_.resize(old + (1 << 16));
      ssize_t got = read(stdout_, buffer_.data() + old, 1 << 16);
      if (got < 0 && errno != EINTR)
        die("read from child failed");
      buffer_.resize(old + static_cast<size_t>(std::max<ssize_t>(got, 0)));
      if (got == 0)
        die("child closed its output");
    }
  }

  // The next answer line, skipping notifications and requests from the other side.
  std::string read_answer() {
    for (;;) {
      std::string line = read_line();
      if (line.substr(0, 64).find("\"method\"") == std::string::npos)
        return line;
    }
  }

  void close_stdin() {
    if (stdin_ >= 0)
      close(stdin_);
    stdin_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffer_;
  size_t scanned_ = 0;
};

// Resident and peak resident size of a process, in KiB, from /proc.
std::pair<long, long> memory_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  long rss = -1, hwm = -1;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0)
      rss = std::atol(line.c_str() + 6);
    if (line.rfind("VmHWM:", 0) == 0)
      hwm = std::atol(line.c_str() + 6);
  }
  return {rss, hwm};
}

double percentile(std::vector<double> samples, double p) {
  if (samples.empty())
    return 0;
  std::sort(samples.begin(), samples.end());
  size_t index = static_cast<size_t>(p * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(index, samples.size() - 1)];
}

const char kInitialize[] =
    R"({"id":0,"jsonrpc":"2.0","method":"initialize","params":{"capabilities":{},)"
    R"("clientInfo":{"name":"bench","version":"1"},"protocolVersion":"2025-06-18"}})"
    "\n";
const char kInitialized[] = R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                            "\n";

// One tools/call line: `tool` with `arguments`, directly or through brask_call_tool.
std::string call_line(int id, bool via_gateway, const std::string& arguments) {
  std::string params =
      via_gateway ? R"({"arguments":{"app":"lumeno","arguments":)" + arguments +
                        R"(,"tool":"echo"},"name":"brask_call_tool"})"
                  : R"({"arguments":)" + arguments + R"(,"name":"echo"})";
  return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","method":"tools/call","params":)" +
         params + "}\n";
}

struct Setup {
  std::string bin;
  std::string dir;  // BRASK_MCP_DIR
  std::vector<std::string> gateway_env() const { return {"BRASK_MCP_DIR=" + dir}; }
  std::string gateway() const { return bin + "/brask-ai-mcp"; }
  std::string fake_app() const { return bin + "/fake-app"; }
};

std::unique_ptr<Child> start_peer(const Setup& setup, bool via_gateway) {
  auto child = via_gateway
                   ? std::make_unique<Child>(setup.gateway(), std::vector<std::string>{"--stdio"},
                                             setup.gateway_env())
                   : std::make_unique<Child>(setup.fake_app(), std::vector<std::string>{},
                                             std::vector<std::string>{});
  child->write_line(kInitialize);
  child->read_answer();
  child->write_line(kInitialized);
  return child;
}

// Times `count` sequential echo calls with `arguments`; the peer is already past its
// first call so that only warm calls are counted.
std::vector<double> time_calls(Child& peer, bool via_gateway, const std::string& arguments,
                               int count, int& next_id) {
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    std::string line = call_line(next_id++, via_gateway, arguments);
    Clock::time_point start = Clock::now();
    peer.write_line(line);
    std::string answer = peer.read_answer();
    samples.push_back(micros_since(start));
    if (answer.find("\"error\"") != std::string::npos && answer.size() < 4096)
      die("call failed: " + answer);
  }
  return samples;
}

struct Row {
  std::string figure;
  double gateway;
  double baseline;
  std::string unit;
  std::string goal;
};

void print_rows(const std::vector<Row>& rows) {
  std::printf("| Figure | Gateway | Baseline | Ratio | Goal |\n|---|---|---|---|---|\n");
  for (const Row& row : rows) {
    std::string ratio = row.baseline > 0 ? std::to_string(row.gateway / row.baseline) : "-";
    ratio = ratio.substr(0, ratio.find('.') + 3);
    std::printf("| %s | %.1f %s | %.1f %s | %s | %s |\n", row.figure.c_str(), row.gateway,
                row.unit.c_str(), row.baseline, row.unit.c_str(), ratio.c_str(), row.goal.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Setup setup;
  setup.bin = BRASK_BIN_DIR;
  int calls = 3000, big_calls = 10, starts = 40, memory_calls = 10000;
  bool huge_line = true;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--short") {
      calls = 300, big_calls = 3, starts = 10, memory_calls = 1000, huge_line = false;
    } else if (arg == "--bin" && i + 1 < argc) {
      setup.bin = argv[++i];
    } else {
      die("usage: gateway_bench [--short] [--bin DIR]");
    }
  }
  signal(SIGPIPE, SIG_IGN);
  alarm(600);  // a hung child must not hang the run

  char pattern[] = "/tmp/brask-bench-XXXXXX";
  if (!mkdtemp(pattern))
    die("mkdtemp");
  setup.dir = pattern;
  std::ofstream(setup.dir + "/apps.json")
      << R"({"version":1,"apps":[{"id":"lumeno","name":"Lumeno","command":")" << setup.fake_app()
      << R"("}]})";

  std::vector<Row> rows;
  const std::string small = R"({"text":"hello"})";

  // Small round trips, alternating blocks so that load changes hit both sides alike.
  {
    auto gateway = start_peer(setup, true);
    auto direct = start_peer(setup, false);
    int gateway_id = 1, direct_id = 1;
    time_calls(*gateway, true, small, 20, gateway_id);  // starts the app, warms caches
    time_calls(*direct, false, small, 20, direct_id);
    std::vector<double> via, plain;
    for (int block = 0; block < 10; ++block) {
      auto g = time_calls(*gateway, true, small, calls / 10, gateway_id);
      auto d = time_calls(*direct, false, small, calls / 10, direct_id);
      via.insert(via.end(), g.begin(), g.end());
      plain.insert(plain.end(), d.begin(), d.end());
    }
    rows.push_back({"small call p50", percentile(via, 0.5), percentile(plain, 0.5), "us", "<= 2x"});
    rows.push_back(
        {"small call p99", percentile(via, 0.99), percentile(plain, 0.99), "us", "<= 2x"});

    const std::string big = R"({"text":")" + std::string(8 << 20, 'a') + "\"}";
    auto g = time_calls(*gateway, true, big, big_calls, gateway_id);
    auto d = time_calls(*direct, false, big, big_calls, direct_id);
    rows.push_back({"8 MiB echo, median", percentile(g, 0.5) / 1000, percentile(d, 0.5) / 1000,
                    "ms", "<= 1.3x"});
  }

  // The start of a thread, which every request pays: from asking for one to its first
  // instruction, with nothing to compare but the small call's whole round trip.
  {
    std::vector<double> samples;
    for (int i = 0; i < calls; ++i) {
      Clock::time_point start = Clock::now();
      double seen = 0;
      std::thread([&] { seen = micros_since(start); }).join();
      samples.push_back(seen);
    }
    rows.push_back({"thread start (in this program), p50", percentile(samples, 0.5), 0, "us",
                    "part of the small call"});
    rows.push_back({"thread start (in this program), p99", percentile(samples, 0.99), 0, "us",
                    "part of the small call"});
  }

  // Start-up to the initialize answer, and the first call to a cold app after it.
  {
    std::vector<double> gateway_start, floor_start, cold_call, app_start;
    for (int i = 0; i < starts; ++i) {
      Clock::time_point start = Clock::now();
      {
        Child floor(setup.bin + "/floor", {}, {});
        floor.write_line("hello\n");
        floor.read_line();
        floor_start.push_back(micros_since(start));
      }
      start = Clock::now();
      {
        Child gateway(setup.gateway(), {"--stdio"}, setup.gateway_env());
        gateway.write_line(kInitialize);
        gateway.read_answer();
        gateway_start.push_back(micros_since(start));
        gateway.write_line(kInitialized);
        int id = 1;
        cold_call.push_back(time_calls(gateway, true, small, 1, id)[0]);
      }
      start = Clock::now();
      {
        Child app(setup.fake_app(), {}, {});
        app.write_line(kInitialize);
        app.read_answer();
        app_start.push_back(micros_since(start));
      }
    }
    rows.push_back({"start-up to initialize answer, median", percentile(gateway_start, 0.5),
                    percentile(floor_start, 0.5), "us", "<= 3x (baseline: bin/floor)"});
    rows.push_back({"first call to a cold app, median", percentile(cold_call, 0.5),
                    percentile(app_start, 0.5), "us",
                    "<= baseline + 1000 us (baseline: fake-app start + initialize)"});
  }

  // Memory of the gateway alone (its children are separate processes).
  {
    auto gateway = start_peer(setup, true);
    const long idle = memory_kib(gateway->pid()).first;
    int id = 1;
    time_calls(*gateway, true, small, memory_calls, id);
    const long after = memory_kib(gateway->pid()).first;
    rows.push_back({"RSS idle after start-up", idle / 1024.0, 4.0, "MiB", "<= 4 MiB"});
    rows.push_back({"RSS after " + std::to_string(memory_calls) + " calls", after / 1024.0,
                    idle / 1024.0 + 1.0, "MiB", "<= idle + 1 MiB"});
    if (huge_line) {
      // The whole line at the gateway's limit of 96 MiB.
      const size_t wrapping = call_line(id, true, R"({"text":""})").size();
      const std::string huge =
          R"({"text":")" + std::string((96 << 20) - wrapping, 'a') + "\"}";
      time_calls(*gateway, true, huge, 1, id);
      const long peak = memory_kib(gateway->pid()).second;
      rows.push_back({"peak RSS, one 96 MiB request line", peak / 1024.0, 3 * 96.0, "MiB",
                      "<= 3x the line (288 MiB)"});
    }
  }

  print_rows(rows);
  std::filesystem::remove_all(setup.dir);
  return 0;
}
