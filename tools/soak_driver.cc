// soak-driver: a long, mixed session against the built gateway. Serves a temporary
// apps folder of hostile fake-app servers, keeps up to twelve calls in flight (echo,
// floods, garbage, time-outs, crashes), switches agents off and on during calls, and
// then checks: every request answered exactly once, every output line a response to
// a request sent, resident memory, descriptors and threads back near their level
// after warm-up, and no app server process left once the gateway has ended.
//   soak-driver BIN_DIR [calls, default 20000] [apps, default 4]
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "json/json.h"
#include "json/parse.h"
#include "json/render.h"

extern char** environ;

namespace {

using namespace brask;

constexpr int IN_FLIGHT = 12;

struct Sample {
  long rss_kib = 0;
  long threads = 0;
  long fds = 0;
};

Sample sample(pid_t pid) {
  Sample s;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:")
      status >> s.rss_kib;
    if (key == "Threads:")
      status >> s.threads;
  }
  if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent* e = readdir(dir))
      s.fds += e->d_name[0] != '.';
    closedir(dir);
  }
  return s;
}

std::vector<pid_t> read_pids(const std::string& path) {
  std::vector<pid_t> pids;
  std::ifstream in(path);
  pid_t pid;
  while (in >> pid)
    pids.push_back(pid);
  return pids;
}

int failures = 0;
void check(bool ok, const std::string& what) {
  if (ok)
    return;
  ++failures;
  std::fprintf(stderr, "soak: FAILED: %s\n", what.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: soak-driver BIN_DIR [calls] [apps]\n");
    return 2;
  }
  const std::string bin = argv[1];
  const int calls = argc > 2 ? std::atoi(argv[2]) : 20000;
  const int apps = argc > 3 ? std::atoi(argv[3]) : 4;
  signal(SIGPIPE, SIG_IGN);

  char templ[] = "/tmp/brask-soak-XXXXXX";
  const std::string dir = mkdtemp(templ);
  JsonArray entries;
  for (int i = 0; i < apps; ++i) {
    const std::string id = "app" + std::to_string(i);
    entries.emplace_back(JsonObject{{"id", id},
                                    {"name", id},
                                    {"command", bin + "/fake-app"},
                                    {"args", JsonArray{"--hostile", "--tools", "20", "--count-file",
                                                       dir + "/" + id + ".pids"}}});
  }
  const std::string apps_file = dir + "/apps.json";
  std::ofstream(apps_file) << render_compact(
      JsonObject{{"version", 1}, {"apps", std::move(entries)}});

  auto to_gateway = make_pipe();
  auto from_gateway = make_pipe();
  if (!to_gateway.ok() || !from_gateway.ok())
    return 2;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_gateway->read_end.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, from_gateway->write_end.get(), 1);
  std::vector<std::string> env_strings{"BRASK_MCP_DIR=" + dir};
  for (char** e = environ; *e; ++e)
    env_strings.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : env_strings)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string program = bin + "/brask-ai-mcp";
  char stdio_arg[] = "--stdio";
  char* gateway_argv[] = {const_cast<char*>(program.c_str()), stdio_arg, nullptr};
  pid_t gateway = -1;
  if (posix_spawn(&gateway, program.c_str(), &actions, nullptr, gateway_argv, envp.data()) != 0)
    return 2;
  posix_spawn_file_actions_destroy(&actions);
  to_gateway->read_end.reset();
  from_gateway->write_end.reset();
  const int out_fd = to_gateway->write_end.get();

  std::mutex mutex;
  std::condition_variable changed;
  std::set<uint64_t> waiting;  // ids sent, not yet answered
  uint64_t answered = 0, busy = 0, errors = 0, garbled = 0;
  std::thread reader([&] {
    std::string buffer;
    char chunk[65536];
    for (;;) {
      ssize_t n = read_retry(from_gateway->read_end.get(), chunk, sizeof chunk);
      if (n <= 0)
        break;
      buffer.append(chunk, static_cast<size_t>(n));
      size_t at = 0, end;
      while ((end = buffer.find('\n', at)) != std::string::npos) {
        auto parsed = parse_json(std::string_view(buffer).substr(at, end - at));
        at = end + 1;
        std::lock_guard<std::mutex> lock(mutex);
        const JsonValue* id = parsed.ok() ? parsed->find("id") : nullptr;
        if (id == nullptr || id->as_unsigned() == nullptr ||
            waiting.erase(*id->as_unsigned()) != 1) {
          ++garbled;
          continue;
        }
        ++answered;
        if (const JsonValue* error = parsed->find("error")) {
          const JsonValue* code = error->find("code");
          ++(code && code->as_signed() && *code->as_signed() == -32000 ? busy : errors);
        }
        changed.notify_all();
      }
      buffer.erase(0, at);
    }
    std::lock_guard<std::mutex> lock(mutex);
    changed.notify_all();
  });

  auto send = [&](uint64_t id, const std::string& app, const std::string& tool, JsonValue args,
                  int timeout) {
    JsonObject call{{"app", app}, {"tool", tool}, {"arguments", std::move(args)}};
    if (timeout > 0)
      call.set("timeoutSeconds", timeout);
    std::string line = render_compact(JsonObject{
        {"jsonrpc", "2.0"},
        {"id", id},
        {"method", "tools/call"},
        {"params", JsonObject{{"name", "brask_call_tool"}, {"arguments", std::move(call)}}}});
    line += '\n';
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return waiting.size() < IN_FLIGHT; });
      waiting.insert(id);
    }
    check(write_all(out_fd, line.data(), line.size()).ok(), "writing to the gateway");
  };
  auto drain = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(120), [&] { return waiting.empty(); });
  };
  // Agents on, all apps started and idle: the level the gateway returns to.
  uint64_t next_id = 1;
  bool agents_on = true;
  auto settle = [&] {
    check(drain(), "answers outstanding");
    if (!agents_on)
      check(std::rename((apps_file + ".off").c_str(), apps_file.c_str()) == 0, "agents on");
    agents_on = true;
    for (int i = 0; i < apps; ++i)
      send(next_id++, "app" + std::to_string(i), "echo", JsonObject{}, 30);
    check(drain(), "answers outstanding");
    return sample(gateway);
  };

  std::mt19937 random(12345);
  const int warm_up = calls / 10;
  Sample warm;
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) {
    if (i == warm_up)
      warm = settle();
    if (i % 2500 == 1250) {
      // Agents off and on again while calls run.
      check(std::rename(agents_on ? apps_file.c_str() : (apps_file + ".off").c_str(),
                        agents_on ? (apps_file + ".off").c_str() : apps_file.c_str()) == 0,
            "switching agents");
      agents_on = !agents_on;
    }
    const std::string app = "app" + std::to_string(random() % apps);
    const unsigned pick = random() % 1000;
    if (pick < 3) {
      send(next_id++, app, "crash", JsonObject{}, 30);
    } else if (pick < 5) {
      send(next_id++, app, "sleep", JsonObject{{"ms", 3000}}, 1);  // times out
    } else if (pick < 30) {
      send(next_id++, app, "flood", JsonObject{{"count", 200}}, 30);
    } else if (pick < 50) {
      send(next_id++, app, "garbage", JsonObject{}, 30);
    } else if (pick < 70) {
      send(next_id++, app, "sleep", JsonObject{{"ms", 20}}, 30);
    } else {
      send(next_id++, app, pick % 2 ? "echo" : "tool-7", JsonObject{{"n", i}}, 0);
    }
  }
  const Sample end = settle();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  to_gateway->write_end.reset();
  reader.join();
  int status = 0;
  waitpid(gateway, &status, 0);
  check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "gateway exit status");
  {
    std::lock_guard<std::mutex> lock(mutex);
    check(waiting.empty(), std::to_string(waiting.size()) + " requests never answered");
    check(garbled == 0, std::to_string(garbled) + " garbled or unmatched output lines");
    check(answered == next_id - 1,
          "answers " + std::to_string(answered) + " of " + std::to_string(next_id - 1));
  }
  check(end.threads <= warm.threads + 2,
        "threads " + std::to_string(warm.threads) + " -> " + std::to_string(end.threads));
  check(end.fds <= warm.fds + 2,
        "fds " + std::to_string(warm.fds) + " -> " + std::to_string(end.fds));
  check(end.rss_kib <= warm.rss_kib * 3 / 2 + 16384,
        "rss " + std::to_string(warm.rss_kib) + " -> " + std::to_string(end.rss_kib) + " KiB");
  size_t servers = 0, left = 0;
  for (int i = 0; i < apps; ++i) {
    for (pid_t pid : read_pids(dir + "/app" + std::to_string(i) + ".pids")) {
      ++servers;
      if (kill(pid, 0) == 0 || errno != ESRCH)
        ++left;
    }
  }
  check(left == 0, std::to_string(left) + " app server processes left");
  std::printf(
      "soak: %llu requests in %.1fs (%.0f/s), %llu busy, %llu errors; %zu app servers started, "
      "%zu left; warm rss %ld KiB threads %ld fds %ld; end rss %ld KiB threads %ld fds %ld\n",
      static_cast<unsigned long long>(answered), seconds, answered / seconds,
      static_cast<unsigned long long>(busy), static_cast<unsigned long long>(errors), servers, left,
      warm.rss_kib, warm.threads, warm.fds, end.rss_kib, end.threads, end.fds);
  std::system(("rm -rf '" + dir + "'").c_str());
  return failures == 0 ? 0 : 1;
}
