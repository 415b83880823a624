// gateway_bench.cc: whole-gateway figures, each measured next to its baseline in the
// same run: the built brask-ai-mcp relaying to bin/fake-app against the same exchange
// done directly with fake-app over a pipe (one call at a time, and 16 at once over 16
// apps) and against bin/relay_floor, the gateway's thread layout with nothing else on
// the road (bench/relay_floor.cc); the gateway's start-up against a C program that
// echoes one line (bin/floor); and the fixed costs of a call measured alone in this
// program with the brask library. Prints a Markdown table; bench/run drives it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "apps/registry.h"
#include "base/heap.h"
#include "base/mutex.h"
#include "base/unique_fd.h"
#include "json/parse.h"
#include "json/render.h"

extern char** environ;

namespace {

using brask::Mutex;
using brask::MutexLock;
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
    if (!brask::write_all(stdin_, line.data(), line.size()).ok())
      die("write to child failed");
  }

  // The next line without its end into `*line`; false once the child's output ends.
  // An answer may be megabytes long.
  bool next_line(std::string* line) {
    for (;;) {
      if (size_t end = buffer_.find('\n', scanned_); end != std::string::npos) {
        *line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        scanned_ = 0;
        return true;
      }
      scanned_ = buffer_.size();
      const size_t old = buffer_.size();
      buffer_.resize(old + (1 << 16));
      ssize_t got = read(stdout_, buffer_.data() + old, 1 << 16);
      if (got < 0 && errno != EINTR)
        die("read from child failed");
      buffer_.resize(old + static_cast<size_t>(std::max<ssize_t>(got, 0)));
      if (got == 0)
        return false;
    }
  }

  std::string read_line() {
    std::string line;
    if (!next_line(&line))
      die("child closed its output");
    return line;
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

// User and system time of a process so far, its threads included, in microseconds.
double cpu_micros(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields counted from 3, after the command name (in parentheses, may hold spaces).
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long ticks = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number >= 14)  // utime, stime
      ticks += std::strtoull(field.c_str(), nullptr, 10);
  }
  return static_cast<double>(ticks) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
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

// One tools/call line: `tool` of `app` with `arguments`, directly or through
// brask_call_tool.
std::string call_line(int id, bool via_gateway, const std::string& arguments,
                      const std::string& app = "lumeno", const std::string& tool = "echo") {
  std::string params = via_gateway
                           ? R"({"arguments":{"app":")" + app + R"(","arguments":)" + arguments +
                                 R"(,"tool":")" + tool + R"("},"name":"brask_call_tool"})"
                           : R"({"arguments":)" + arguments + R"(,"name":")" + tool + R"("})";
  return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","method":"tools/call","params":)" +
         params + "}\n";
}

struct Setup {
  std::string bin;
  std::string dir;  // BRASK_MCP_DIR
  std::vector<std::string> gateway_env() const { return {"BRASK_MCP_DIR=" + dir}; }
  std::string gateway() const { return bin + "/brask-ai-mcp"; }
  std::string relay_floor() const { return bin + "/relay_floor"; }
  std::string fake_app() const { return bin + "/fake-app"; }
};

// Who answers the calls: the gateway, the floor program in its place, or fake-app itself.
enum class Peer { Gateway, Floor, Direct };

std::unique_ptr<Child> start_peer(const Setup& setup, Peer peer) {
  auto child = peer == Peer::Gateway
                   ? std::make_unique<Child>(setup.gateway(), std::vector<std::string>{"--stdio"},
                                             setup.gateway_env())
               : peer == Peer::Floor
                   ? std::make_unique<Child>(setup.relay_floor(), std::vector<std::string>{},
                                             setup.gateway_env())
                   : std::make_unique<Child>(setup.fake_app(), std::vector<std::string>{},
                                             std::vector<std::string>{});
  child->write_line(kInitialize);
  child->read_answer();
  child->write_line(kInitialized);
  return child;
}

// A failed call, as a JSON-RPC error or as the gateway's error result, ends the run: a
// fast failure must not pass for a fast call. Failures are short; big answers are not.
void check_answer(const std::string& answer) {
  if (answer.size() < 4096 && (answer.find("\"error\"") != std::string::npos ||
                               answer.find("\"isError\":true") != std::string::npos))
    die("call failed: " + answer);
}

// Times `count` sequential echo calls with `arguments`; the peer is already past its
// first call so that only warm calls are counted.
std::vector<double> time_calls(Child& peer, Peer kind, const std::string& arguments, int count,
                               int& next_id) {
  const bool via_gateway = kind != Peer::Direct;
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    std::string line = call_line(next_id++, via_gateway, arguments);
    Clock::time_point start = Clock::now();
    peer.write_line(line);
    std::string answer = peer.read_answer();
    samples.push_back(micros_since(start));
    check_answer(answer);
  }
  return samples;
}

// An apps file in `dir` naming `ids`, each running fake-app.
void write_apps_file(const std::string& dir, const std::string& fake_app,
                     const std::vector<std::string>& ids) {
  std::string apps;
  for (const std::string& id : ids) {
    if (!apps.empty())
      apps += ",";
    apps += R"({"id":")" + id + R"(","name":")" + id + R"(","command":")" + fake_app + "\"}";
  }
  std::ofstream(dir + "/apps.json") << R"({"version":1,"apps":[)" << apps << "]}";
}

std::string app_id(int client) {
  return std::string(client < 9 ? "app0" : "app") + std::to_string(client + 1);
}

brask::JsonValue parsed(const std::string& text) {
  brask::Result<brask::JsonValue> value = brask::parse_json(text);
  if (!value.ok())
    die("answer does not parse: " + value.error());
  return std::move(value).take();
}

bool is_busy(const std::string& answer) {
  return answer.size() < 4096 && answer.find("\"code\":-32000") != std::string::npos;
}

// One gateway shared by client threads, as an agent with several calls in flight uses
// it: each request line is written whole under a lock, and one reader thread hands every
// answer to the client whose number is the answer's id modulo the number of clients.
// Each client has at most one call in flight.
class SharedGateway {
 public:
  SharedGateway(const Setup& setup, Peer peer, int clients)
      : gateway_(start_peer(setup, peer)),
        clients_(clients),
        slots_(std::make_unique<Slot[]>(static_cast<size_t>(clients))),
        reader_([this] { read_answers(); }) {}
  ~SharedGateway() {
    gateway_->close_stdin();  // the gateway exits, and the reader sees its output end
    reader_.join();
  }

  // Sends `line`, whose id is `client` modulo the number of clients, and waits for its
  // answer. A busy answer is sent again (and counted).
  std::string call(int client, const std::string& line) {
    Slot& slot = slots_[static_cast<size_t>(client)];
    for (;;) {
      {
        MutexLock lock(write_mutex_);
        gateway_->write_line(line);
      }
      MutexLock lock(slot.mutex);
      if (!slot.arrived.wait_until(lock, Clock::now() + std::chrono::seconds(60),
                                   [&]() REQUIRES(slot.mutex) { return slot.answer.has_value(); }))
        die("no answer from the gateway within 60 s");
      std::string answer = std::move(*slot.answer);
      slot.answer.reset();
      if (!is_busy(answer))
        return answer;
      busy_answers_.fetch_add(1);
    }
  }

  int busy_answers() const { return busy_answers_.load(); }
  pid_t pid() const { return gateway_->pid(); }

 private:
  struct Slot {
    Mutex mutex;  // guards `answer`
    std::condition_variable_any arrived;
    std::optional<std::string> answer GUARDED_BY(mutex);
  };

  void read_answers() {
    std::string line;
    while (gateway_->next_line(&line)) {
      uint64_t id = 0;
      if (line.rfind(R"({"id":)", 0) == 0) {
        id = std::strtoull(line.c_str() + 6, nullptr, 10);
      } else {  // an error answer ("error" sorts first) or a notification
        const brask::JsonValue message = parsed(line);
        const brask::JsonValue* given = message.find("id");
        if (!given || !given->as_unsigned())
          continue;
        id = *given->as_unsigned();
      }
      Slot& slot = slots_[id % static_cast<uint64_t>(clients_)];
      {
        MutexLock lock(slot.mutex);
        slot.answer = std::move(line);
      }
      slot.arrived.notify_one();
    }
  }

  std::unique_ptr<Child> gateway_;
  const int clients_;
  std::unique_ptr<Slot[]> slots_;
  Mutex write_mutex_;                 // held while one request line is written
  std::atomic<int> busy_answers_{0};  // written by the client threads
  std::thread reader_;                // last: starts once the rest is built
};

// Runs `body(client)` on one thread per client and answers the wall time from their
// start to the end of the last, in seconds.
double run_together(int clients, const std::function<void(int)>& body) {
  Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (int client = 0; client < clients; ++client)
    threads.emplace_back(body, client);
  for (std::thread& thread : threads)
    thread.join();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Per call: the answer rendered in the compact form with its line feed and written to a
// pipe that another thread drains, as the gateway answers its agent.
std::vector<double> time_render_and_write(const brask::JsonValue& answer, int count) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0)
    die("pipe");
  std::thread drain([fd = ends[0]] {
    std::vector<char> buffer(1 << 16);
    while (brask::read_retry(fd, buffer.data(), buffer.size()) > 0) {
    }
    close(fd);
  });
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    Clock::time_point start = Clock::now();
    std::string text;
    brask::render_compact(answer, &text);
    text.push_back('\n');
    if (!brask::write_all(ends[1], text.data(), text.size()).ok())
      die("write to pipe failed");
    samples.push_back(micros_since(start));
  }
  close(ends[1]);
  drain.join();
  return samples;
}

struct Row {
  std::string figure;
  double gateway;
  double baseline;
  std::string unit;
  std::string goal;
  double floor = -1;  // the floor program's figure, where it has one
};

std::string ratio_text(double value, double base) {
  if (base <= 0)
    return "-";
  std::string ratio = std::to_string(value / base);
  return ratio.substr(0, ratio.find('.') + 3);
}

void print_rows(const std::vector<Row>& rows) {
  std::printf(
      "| Figure | Gateway | Floor | Gateway / floor | Baseline | Gateway / baseline | Goal |\n"
      "|---|---|---|---|---|---|---|\n");
  for (const Row& row : rows) {
    const std::string unit = row.unit.empty() ? "" : " " + row.unit;
    char floor[64] = "-";
    if (row.floor >= 0)
      std::snprintf(floor, sizeof floor, "%.1f%s", row.floor, unit.c_str());
    std::printf("| %s | %.1f%s | %s | %s | %.1f%s | %s | %s |\n", row.figure.c_str(), row.gateway,
                unit.c_str(), floor, ratio_text(row.gateway, row.floor).c_str(), row.baseline,
                unit.c_str(), ratio_text(row.gateway, row.baseline).c_str(), row.goal.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Setup setup;
  setup.bin = BRASK_BIN_DIR;
  int calls = 3000, big_calls = 10, starts = 40, memory_calls = 10000;
  int rounds = 4, concurrent_calls = 500, held_calls = 200;
  bool huge_line = true;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--short") {
      calls = 300, big_calls = 3, starts = 10, memory_calls = 1000, huge_line = false;
      rounds = 1, concurrent_calls = 20, held_calls = 10;
    } else if (arg == "--bin" && i + 1 < argc) {
      // Absolute: the apps file must name fake-app by an absolute path.
      setup.bin = std::filesystem::absolute(argv[++i]).string();
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
  constexpr int kApps = 16;
  Setup setup16 = setup;
  setup16.dir = setup.dir + "/sixteen";
  std::filesystem::create_directory(setup16.dir);
  std::vector<std::string> ids;
  for (int client = 0; client < kApps; ++client)
    ids.push_back(app_id(client));
  write_apps_file(setup16.dir, setup.fake_app(), ids);

  std::vector<Row> rows;
  const std::string small = R"({"text":"hello"})";
  double direct_small_p50 = 0, direct_big_median = 0;
  std::string small_answer, big_answer;  // the gateway's own, rendered again below

  // Small round trips, alternating blocks so that load changes hit both sides alike.
  {
    auto gateway = start_peer(setup, Peer::Gateway);
    auto floor = start_peer(setup, Peer::Floor);
    auto direct = start_peer(setup, Peer::Direct);
    int gateway_id = 1, floor_id = 1, direct_id = 1;
    // Starts the apps, warms caches.
    time_calls(*gateway, Peer::Gateway, small, 20, gateway_id);
    time_calls(*floor, Peer::Floor, small, 20, floor_id);
    time_calls(*direct, Peer::Direct, small, 20, direct_id);
    std::vector<double> via, least, plain;
    for (int block = 0; block < 10; ++block) {
      auto g = time_calls(*gateway, Peer::Gateway, small, calls / 10, gateway_id);
      auto f = time_calls(*floor, Peer::Floor, small, calls / 10, floor_id);
      auto d = time_calls(*direct, Peer::Direct, small, calls / 10, direct_id);
      via.insert(via.end(), g.begin(), g.end());
      least.insert(least.end(), f.begin(), f.end());
      plain.insert(plain.end(), d.begin(), d.end());
    }
    direct_small_p50 = percentile(plain, 0.5);
    rows.push_back({"small call p50", percentile(via, 0.5), direct_small_p50, "us",
                    "<= 1.25x floor", percentile(least, 0.5)});
    rows.push_back({"small call p99", percentile(via, 0.99), percentile(plain, 0.99), "us",
                    "<= 1.25x floor", percentile(least, 0.99)});

    const std::string big = R"({"text":")" + std::string(8 << 20, 'a') + "\"}";
    auto g = time_calls(*gateway, Peer::Gateway, big, big_calls, gateway_id);
    auto f = time_calls(*floor, Peer::Floor, big, big_calls, floor_id);
    auto d = time_calls(*direct, Peer::Direct, big, big_calls, direct_id);
    direct_big_median = percentile(d, 0.5);
    rows.push_back({"8 MiB echo, median", percentile(g, 0.5) / 1000, direct_big_median / 1000, "ms",
                    "<= 1.3x", percentile(f, 0.5) / 1000});

    gateway->write_line(call_line(gateway_id++, true, small));
    small_answer = gateway->read_answer();
    gateway->write_line(call_line(gateway_id++, true, big));
    big_answer = gateway->read_answer();
  }

  // 16 clients, each making sequential calls to its own app: through one gateway, through
  // one floor program, against 16 fake-apps on their own pipes. Alternating rounds.
  {
    SharedGateway shared(setup16, Peer::Gateway, kApps);
    SharedGateway floor(setup16, Peer::Floor, kApps);
    std::vector<std::unique_ptr<Child>> direct;
    for (int client = 0; client < kApps; ++client)
      direct.push_back(start_peer(setup, Peer::Direct));
    std::vector<int> next_seq(kApps, 0), next_floor_seq(kApps, 0);
    auto via = [&](SharedGateway& peer, std::vector<int>& seq, int client, const std::string& tool,
                   const std::string& arguments) {
      const int id = client + kApps * ++seq[static_cast<size_t>(client)];
      return peer.call(client, call_line(id, true, arguments, app_id(client), tool));
    };
    auto via_gateway = [&](int client, const std::string& tool, const std::string& arguments) {
      return via(shared, next_seq, client, tool, arguments);
    };
    auto gateway_calls = [&](int client) {
      for (int i = 0; i < concurrent_calls; ++i)
        check_answer(via_gateway(client, "echo", small));
    };
    auto floor_calls = [&](int client) {
      for (int i = 0; i < concurrent_calls; ++i)
        check_answer(via(floor, next_floor_seq, client, "echo", small));
    };
    auto direct_calls = [&](int client) {
      Child& app = *direct[static_cast<size_t>(client)];
      for (int i = 0; i < concurrent_calls; ++i) {
        app.write_line(call_line(++next_seq[static_cast<size_t>(client)], false, small));
        check_answer(app.read_answer());
      }
    };
    // Starts every app and warms every side.
    run_together(kApps, gateway_calls);
    run_together(kApps, floor_calls);
    run_together(kApps, direct_calls);
    auto apps_cpu_micros = [&] {
      double sum = 0;
      for (const std::unique_ptr<Child>& app : direct)
        sum += cpu_micros(app->pid());
      return sum;
    };
    double gateway_seconds = 0, floor_seconds = 0, direct_seconds = 0;
    double gateway_cpu = 0, floor_cpu = 0, apps_cpu = 0;
    for (int round = 0; round < rounds; ++round) {
      const double gateway_cpu_before = cpu_micros(shared.pid());
      gateway_seconds += run_together(kApps, gateway_calls);
      gateway_cpu += cpu_micros(shared.pid()) - gateway_cpu_before;
      const double floor_cpu_before = cpu_micros(floor.pid());
      floor_seconds += run_together(kApps, floor_calls);
      floor_cpu += cpu_micros(floor.pid()) - floor_cpu_before;
      const double apps_cpu_before = apps_cpu_micros();
      direct_seconds += run_together(kApps, direct_calls);
      apps_cpu += apps_cpu_micros() - apps_cpu_before;
    }
    const double total = static_cast<double>(rounds) * kApps * concurrent_calls;
    rows.push_back({"16 apps, 16 calls in flight, throughput", total / gateway_seconds,
                    total / direct_seconds, "calls/s", ">= 0.8x floor", total / floor_seconds});
    rows.push_back({"16 apps, CPU time per call, the gateway alone", gateway_cpu / total,
                    apps_cpu / total, "us", "<= 1.25x floor (baseline: the app's own, direct)",
                    floor_cpu / total});

    // The other 15 apps' calls, with app01 held in 200 ms sleeps throughout and not.
    std::vector<double> held, idle;
    for (int round = 0; round < rounds; ++round) {
      for (bool hold : {true, false}) {
        std::atomic<bool> done{false};  // set by this thread once the 15 are through
        std::thread holder;
        if (hold)
          holder = std::thread([&] {
            while (!done.load())
              check_answer(via_gateway(0, "sleep", R"({"ms":200})"));
          });
        std::vector<std::vector<double>> samples(kApps);
        run_together(kApps - 1, [&](int other) {
          const int client = other + 1;
          for (int i = 0; i < held_calls; ++i) {
            Clock::time_point start = Clock::now();
            check_answer(via_gateway(client, "echo", small));
            samples[static_cast<size_t>(client)].push_back(micros_since(start));
          }
        });
        done.store(true);
        if (holder.joinable())
          holder.join();
        for (const std::vector<double>& some : samples)
          (hold ? held : idle).insert((hold ? held : idle).end(), some.begin(), some.end());
      }
    }
    rows.push_back({"15 apps' calls while app01 sleeps, p50", percentile(held, 0.5),
                    percentile(idle, 0.5), "us", "unchanged (baseline: app01 idle)"});
    rows.push_back({"busy answers in the 16-app runs (sent again)",
                    static_cast<double>(shared.busy_answers()), 0, "", "0"});
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
    rows.push_back({"thread start (in this program), p50", percentile(samples, 0.5),
                    direct_small_p50, "us", "part of the small call (baseline: direct p50)"});
    rows.push_back({"thread start (in this program), p99", percentile(samples, 0.99),
                    direct_small_p50, "us", "part of the small call (baseline: direct p50)"});
  }

  // The agents check every gateway tool call makes: the apps file found, read and parsed.
  for (const Setup* folder : {&setup, &setup16}) {
    setenv("BRASK_MCP_DIR", folder->dir.c_str(), 1);
    brask::AgentsSwitch agents;
    std::vector<double> samples;
    for (int i = 0; i < calls; ++i) {
      Clock::time_point start = Clock::now();
      const brask::Result<bool> answer = agents.enabled();
      const bool enabled = answer.ok() && *answer;
      samples.push_back(micros_since(start));
      if (!enabled)
        die("the agents check answered false on " + folder->dir);
    }
    unsetenv("BRASK_MCP_DIR");
    rows.push_back(
        {folder == &setup ? "agents check, 1-app file, p50" : "agents check, 16-app file, p50",
         percentile(samples, 0.5), direct_small_p50, "us",
         "part of the small call (baseline: direct p50)"});
  }

  // Rendering the answer and writing it to the agent, for the small and the 8 MiB echo.
  {
    const brask::JsonValue answer = parsed(small_answer);
    rows.push_back({"render + write small answer, p50",
                    percentile(time_render_and_write(answer, calls), 0.5), direct_small_p50, "us",
                    "part of the small call (baseline: direct p50)"});
  }
  {
    const brask::JsonValue answer = parsed(big_answer);
    big_answer.clear();
    rows.push_back({"render + write 8 MiB answer, median",
                    percentile(time_render_and_write(answer, big_calls), 0.5) / 1000,
                    direct_big_median / 1000, "ms",
                    "part of the 8 MiB echo (baseline: direct median)"});
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
        cold_call.push_back(time_calls(gateway, Peer::Gateway, small, 1, id)[0]);
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

  // Turning agents off with 64 app servers running: the answer waits for all 64 to be
  // killed and reaped. Baseline: killing and reaping 64 fake-apps directly.
  {
    constexpr int kServers = 64;
    Setup setup64 = setup;
    setup64.dir = setup.dir + "/sixty-four";
    std::filesystem::create_directory(setup64.dir);
    std::vector<std::string> names;
    for (int i = 0; i < kServers; ++i)
      names.push_back("s" + std::to_string(i));
    std::vector<double> stops, kills;
    for (int round = 0; round < (huge_line ? 5 : 1); ++round) {
      write_apps_file(setup64.dir, setup.fake_app(), names);
      Child gateway(setup.gateway(), {"--stdio"}, setup64.gateway_env());
      // Started 16 at a time: more requests in flight would be answered busy.
      int id = 1;
      for (int first = 0; first < kServers; first += 16) {
        for (int i = first; i < first + 16; ++i)
          gateway.write_line(call_line(id++, true, small, names[i], "echo"));
        for (int i = first; i < first + 16; ++i)
          check_answer(gateway.read_answer());
      }
      std::filesystem::rename(setup64.dir + "/apps.json", setup64.dir + "/apps.off");
      Clock::time_point start = Clock::now();
      gateway.write_line(
          R"({"id":1000,"jsonrpc":"2.0","method":"tools/call","params":{"arguments":{},"name":"brask_list_apps"}})"
          "\n");
      gateway.read_answer();
      stops.push_back(micros_since(start));

      std::vector<std::unique_ptr<Child>> apps;
      for (int i = 0; i < kServers; ++i) {
        apps.push_back(std::make_unique<Child>(setup.fake_app(), std::vector<std::string>{},
                                               std::vector<std::string>{}));
        apps.back()->write_line(kInitialize);
        apps.back()->read_answer();
      }
      start = Clock::now();
      for (auto& app : apps)
        kill(app->pid(), SIGKILL);
      apps.clear();  // each reaps its process
      kills.push_back(micros_since(start));
    }
    rows.push_back({"agents off with 64 servers running, median", percentile(stops, 0.5) / 1000,
                    percentile(kills, 0.5) / 1000, "ms", "well under 1000 ms"});
  }

  // Memory of the gateway alone (its children are separate processes).
  {
    auto gateway = start_peer(setup, Peer::Gateway);
    const long idle = memory_kib(gateway->pid()).first;
    int id = 1;
    time_calls(*gateway, Peer::Gateway, small, memory_calls, id);
    const long after = memory_kib(gateway->pid()).first;
    rows.push_back({"RSS idle after start-up", idle / 1024.0, 4.0, "MiB", "<= 4 MiB"});
    rows.push_back({"RSS after " + std::to_string(memory_calls) + " calls", after / 1024.0,
                    idle / 1024.0 + 1.0, "MiB", "<= idle + 1 MiB"});
    // Echoes of 1, 4 and 8 MiB, then small calls: a message's peak against its size, and
    // what stays resident once nothing large is in flight against the idle size.
    for (int mib : {1, 4, 8}) {
      const std::string text = R"({"text":")" + std::string(size_t(mib) << 20, 'e') + "\"}";
      gateway->write_line(call_line(id++, true, text));
      check_answer(gateway->read_answer());
    }
    const long echo_peak = memory_kib(gateway->pid()).second;
    time_calls(*gateway, Peer::Gateway, small, 20, id);
    // Free pages are given back once no large message has ended for a moment.
    std::this_thread::sleep_for(brask::HEAP_QUIET_TIME + std::chrono::milliseconds(250));
    const long after_echoes = memory_kib(gateway->pid()).first;
    rows.push_back({"peak RSS rise, echoes of 1, 4 and 8 MiB", (echo_peak - idle) / 1024.0, 4 * 8.0,
                    "MiB", "<= 4x the largest (32 MiB)"});
    rows.push_back({"RSS after them, 20 small calls and a pause", after_echoes / 1024.0,
                    2 * idle / 1024.0, "MiB", "<= 2x idle"});
    if (huge_line) {
      // The whole line at the gateway's limit of 96 MiB.
      const size_t wrapping = call_line(id, true, R"({"text":""})").size();
      const std::string huge = R"({"text":")" + std::string((96 << 20) - wrapping, 'a') + "\"}";
      // fake-app echoes it whole, which is over the 64 MiB an app's line may have, so the
      // gateway reads and drops it and answers with that error: the peak covers the
      // request's whole way to the app and the app's answer being read.
      gateway->write_line(call_line(id++, true, huge));
      const std::string answer = gateway->read_answer();
      if (answer.find("the app sent a message larger than") == std::string::npos)
        die("unexpected answer to the 96 MiB line: " + answer.substr(0, 300));
      const long peak = memory_kib(gateway->pid()).second;
      rows.push_back({"peak RSS, one 96 MiB request line", peak / 1024.0, 3 * 96.0, "MiB",
                      "<= 3x the line (288 MiB)"});
    }
  }

  print_rows(rows);
  std::filesystem::remove_all(setup.dir);
  return 0;
}
