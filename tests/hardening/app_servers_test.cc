// App servers as they are really started and run, end to end through the built
// gateway: launchers that do not exec, shortages of the gateway's own, starts that
// fail slowly, idle apps that talk a lot, the signals an app starts with.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "hardening/session.h"
#include "stdio/serve.h"

namespace brask::testing {
namespace {

// The lowest descriptor number that process `pid` has free.
rlim_t lowest_free_fd(pid_t pid) {
  rlim_t free_fd = 0;
  for (int fd : process_fds(pid)) {
    if (static_cast<rlim_t>(fd) != free_fd)
      break;
    ++free_fd;
  }
  return free_fd;
}

// With no descriptor free, the gateway cannot read apps.json: that call is answered
// with the cause, and the running app server is not stopped.
TEST(AppServers, GatewayOutOfDescriptorsIsNotTheAgentsSwitch) {
  GatewaySession session({FakeAppEntry("alpha")});
  bool is_error = false;
  ASSERT_EQ(session.call(1, "alpha", "echo", JsonObject{}, 30, &is_error), "echo");
  const pid_t gateway = session.process().pid();
  rlimit usual{};
  ASSERT_EQ(::prlimit(gateway, RLIMIT_NOFILE, nullptr, &usual), 0);
  rlimit tight = usual;
  tight.rlim_cur = lowest_free_fd(gateway);
  ASSERT_EQ(::prlimit(gateway, RLIMIT_NOFILE, &tight, nullptr), 0);
  EXPECT_EQ(session.call(2, "alpha", "echo", JsonObject{}, 30, &is_error),
            "the gateway could not read apps.json: Too many open files (os error 24)");
  EXPECT_TRUE(is_error);
  ASSERT_EQ(::prlimit(gateway, RLIMIT_NOFILE, &usual, nullptr), 0);
  EXPECT_EQ(session.call(3, "alpha", "echo", JsonObject{}, 30, &is_error), "echo");
  const std::vector<pid_t> pids = session.app_pids("alpha");
  ASSERT_EQ(pids.size(), 1u) << "the app server was stopped";
  EXPECT_TRUE(process_exists(pids[0]));
}

// Requests that wait while a start fails get that start's failure instead of starting
// the app again one after another; a request that comes later starts afresh.
TEST(AppServers, OneFailedStartAnswersEveryRequestWaitingForIt) {
  GatewaySession session({FakeAppEntry("stuck", {"--no-initialize", "--exit-after-ms", "1500"})});
  const std::string want = "stuck did not start its MCP server: the app closed its MCP connection";
  for (int id = 1; id <= 4; ++id)
    ASSERT_TRUE(session.send(GatewaySession::call_request(id, "stuck", "echo")));
  for (int id = 1; id <= 4; ++id) {
    auto answer = session.answer(id);
    ASSERT_TRUE(answer) << "no answer to " << id;
    bool is_error = false;
    EXPECT_EQ(GatewaySession::result_text(*answer, &is_error), want);
    EXPECT_TRUE(is_error);
  }
  EXPECT_EQ(session.app_pids("stuck").size(), 1u);
  bool is_error = false;
  EXPECT_EQ(session.call(5, "stuck", "echo", JsonObject{}, 30, &is_error), want);
  EXPECT_EQ(session.app_pids("stuck").size(), 2u);
}

// Under a 1 GiB address-space limit, as some supervisors set, a message of millions of
// small numbers may cost more memory than the gateway can get: then that message alone
// fails, from the agent or from an app, and the gateway goes on serving.
TEST(AppServers, MessageThatCannotGetItsMemoryFailsAlone) {
#ifdef BRASK_SANITIZED
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#endif
  GatewaySession session({FakeAppEntry("alpha")});
  bool is_error = false;
  ASSERT_EQ(session.call(1, "alpha", "echo", JsonObject{}, 30, &is_error), "echo");
  const pid_t gateway = session.process().pid();
  rlimit usual{};
  ASSERT_EQ(::prlimit(gateway, RLIMIT_AS, nullptr, &usual), 0);
  rlimit tight = usual;
  tight.rlim_cur = rlim_t{1} << 30;
  ASSERT_EQ(::prlimit(gateway, RLIMIT_AS, &tight, nullptr), 0);

  constexpr size_t NUMBERS = 15'000'000;  // 30 MB of "0,"
  std::string request = R"({"jsonrpc":"2.0","id":2,"method":"ping","params":[0)";
  request.reserve(request.size() + 2 * NUMBERS + 2);
  for (size_t i = 1; i < NUMBERS; ++i)
    request += ",0";
  request += "]}";
  ASSERT_TRUE(session.send_line(request));
  ASSERT_TRUE(session.send_line(R"({"jsonrpc":"2.0","id":3,"method":"ping"})"));
  ASSERT_TRUE(session.answer(3)) << "the gateway stopped serving";
  // Answered as a ping, or refused for want of memory (with id null, when even the
  // parse could not be held); its thread may finish after the small ping's.
  bool answered = false;
  for (int tries = 0; tries < 300 && !answered; ++tries)
    answered = session.answer(2, std::chrono::milliseconds(50)) ||
               session.answer(JsonValue(nullptr), std::chrono::milliseconds(50));
  EXPECT_TRUE(answered);

  const std::string text = session.call(
      4, "alpha", "huge", JsonObject{{"bytes", 2 * NUMBERS}, {"numbers", true}}, 120, &is_error);
  EXPECT_TRUE(text == "echo" || text == "the gateway ran out of memory for a message of the app")
      << text.substr(0, 300);
  ASSERT_EQ(::prlimit(gateway, RLIMIT_AS, &usual, nullptr), 0);
  EXPECT_EQ(session.call(5, "alpha", "echo", JsonObject{}, 30, &is_error), "echo");
  session.process().close_stdin();
  ExitStatus status = session.process().wait();
  EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
}

// Runs the fake app through a shell that does not exec it but waits, as most launchers do.
FakeAppEntry launched(const std::string& id, std::vector<std::string> args = {}) {
  FakeAppEntry app(id);
  app.command = "/bin/sh";
  app.args = {"-c", "\"$0\" \"$@\"; exit $?", program_path("fake-app")};
  app.args.insert(app.args.end(), args.begin(), args.end());
  return app;
}

// Sends one call per app at once and checks every answer's text.
void call_each(GatewaySession& session, const std::vector<std::string>& apps, int* next_id,
               const std::string& tool, const JsonValue& arguments, int timeout_secs,
               const std::string& want) {
  const int first = *next_id;
  for (const std::string& app : apps) {
    ASSERT_TRUE(session.send(
        GatewaySession::call_request((*next_id)++, app, tool, arguments, timeout_secs)));
  }
  for (int id = first; id < *next_id; ++id) {
    auto answer = session.answer(id, std::chrono::seconds(timeout_secs + 60));
    ASSERT_TRUE(answer) << "no answer to " << id;
    bool is_error = false;
    EXPECT_EQ(GatewaySession::result_text(*answer, &is_error), want);
  }
}

// Three hundred stops through a launcher that leaves a short-lived helper behind at
// each start: time-outs, crashes and agents turned off and on. Each replaced server goes
// with its launcher, no thread, descriptor or zombie is left behind, and at the end
// nothing the gateway started is.
TEST(AppServers, ThreeHundredStopsLeaveNothingBehind) {
  constexpr int APPS = 10;
  constexpr int ROUNDS = 30;
  std::vector<FakeAppEntry> fakes;
  std::vector<std::string> apps;
  for (int i = 0; i < APPS; ++i) {
    apps.push_back("app" + std::to_string(i));
    FakeAppEntry app = launched(apps.back(), {"--hostile"});
    app.args[1] = "(sleep 0.05 </dev/null >/dev/null 2>&1 &); " + app.args[1];
    fakes.push_back(std::move(app));
  }
  GatewaySession session(fakes);
  int id = 1;
  call_each(session, apps, &id, "echo", JsonObject{}, 30, "echo");
  const pid_t gateway = session.process().pid();
  const auto zombies = [&] { return zombie_children(gateway); };

  // Threads of replaced connections end shortly after their disposal. Request threads
  // are kept for the next requests, at most about one per request running at once, so
  // they are allowed for beside the level; a connection's threads left behind are not.
  const auto settled = [&](int threads, size_t fds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (thread_count(gateway) <= threads + static_cast<int>(MAX_RUNNING_REQUESTS) &&
          process_fds(gateway).size() <= fds && zombies() == 0 &&
          children_of(gateway).size() == static_cast<size_t>(APPS))
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  };
  // Main, signals, a reader and a writer per app. The descriptors counted here may include
  // one still in use for a moment (a file being read), so fewer later is no fault.
  const int threads = 2 + 2 * APPS;
  const size_t fds = process_fds(gateway).size();
  std::vector<pid_t> launchers = children_of(gateway);

  const std::string apps_file = session.dir() + "/apps.json";
  for (int round = 0; round < ROUNDS; ++round) {
    switch (round % 3) {
      case 0:
        call_each(session, apps, &id, "sleep", JsonObject{{"ms", 600000}}, 1,
                  "the app did not answer `tools/call` within 1s");
        break;
      case 1:
        call_each(session, apps, &id, "crash", JsonObject{}, 30,
                  "the app closed its MCP connection");
        break;
      case 2: {
        // Agents off stops every server; on again, the next round starts them afresh.
        ASSERT_EQ(::rename(apps_file.c_str(), (apps_file + ".off").c_str()), 0);
        bool is_error = false;
        (void)session.call(id++, apps[0], "echo", JsonObject{}, 30, &is_error);
        EXPECT_TRUE(is_error);
        ASSERT_EQ(::rename((apps_file + ".off").c_str(), apps_file.c_str()), 0);
        call_each(session, apps, &id, "echo", JsonObject{}, 30, "echo");
        for (pid_t pid : children_of(gateway))
          launchers.push_back(pid);
        break;
      }
    }
  }
  call_each(session, apps, &id, "echo", JsonObject{}, 30, "echo");
  EXPECT_TRUE(settled(threads, fds))
      << thread_count(gateway) << " threads, " << process_fds(gateway).size() << " of " << fds
      << " descriptors, " << children_of(gateway).size() << " children, " << zombies()
      << " zombies";
  const std::vector<pid_t> now_running = children_of(gateway);
  EXPECT_EQ(now_running.size(), static_cast<size_t>(APPS));
  launchers.insert(launchers.end(), now_running.begin(), now_running.end());
  for (const std::string& app : apps) {
    const std::vector<pid_t> servers = session.app_pids(app);
    // One start at first, then one after each time-out and each crash; agents off stops
    // what the crash round's restart has not started yet.
    ASSERT_EQ(servers.size(), static_cast<size_t>(1 + 2 * ROUNDS / 3)) << app;
    for (size_t i = 0; i + 1 < servers.size(); ++i)
      EXPECT_FALSE(process_exists(servers[i])) << app << " server " << servers[i] << " left";
  }

  session.process().close_stdin();
  ExitStatus status = session.process().wait();
  EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
  for (pid_t pid : launchers)
    EXPECT_FALSE(process_exists(pid)) << "launcher " << pid << " left";
  for (const std::string& app : apps) {
    for (pid_t pid : session.app_pids(app))
      EXPECT_FALSE(process_exists(pid)) << app << " server " << pid << " left";
  }
}

// An idle app that sends large notifications: once a bounded amount waits in the
// gateway, the gateway stops reading and the app is slowed by its pipe; nothing is
// lost, and the next call takes in the rest.
TEST(AppServers, IdleAppCannotMakeTheGatewayHoldUnboundedMemory) {
#ifdef BRASK_SANITIZED
  GTEST_SKIP() << "sanitizers change how memory is allocated and counted";
#endif
  GatewaySession session({FakeAppEntry("chatty", {"--hostile"})});
  constexpr long NOTIFICATIONS = 20;
  constexpr long BYTES = 40L << 20;
  constexpr long BOUND_KIB = 512L << 10;
  const std::string progress = session.dir() + "/progress";
  const auto sent = [&] {
    std::ifstream in(progress);
    return std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n');
  };
  bool is_error = false;
  ASSERT_EQ(
      session.call(
          1, "chatty", "flood",
          JsonObject{
              {"count", NOTIFICATIONS}, {"bytes", BYTES}, {"later", true}, {"progress", progress}},
          30, &is_error),
      "echo");
  // Nothing marks the moment the gateway stops reading: the app's progress is watched
  // until it has sent everything or has stood still for a second.
  long seen = 0;
  auto moved = std::chrono::steady_clock::now();
  const auto deadline = moved + std::chrono::seconds(60);
  while (seen < NOTIFICATIONS &&
         std::chrono::steady_clock::now() - moved < std::chrono::seconds(1) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (long now = sent(); now != seen) {
      seen = now;
      moved = std::chrono::steady_clock::now();
    }
  }
  EXPECT_LT(seen, NOTIFICATIONS) << "the gateway took in every notification while idle";
  std::optional<long> idle_peak = session.process().peak_memory_kib();
  ASSERT_TRUE(idle_peak);
  EXPECT_LT(*idle_peak, BOUND_KIB);

  EXPECT_EQ(session.call(2, "chatty", "echo", JsonObject{}, 120, &is_error), "echo");
  EXPECT_EQ(sent(), NOTIFICATIONS);
  std::optional<long> peak = session.process().peak_memory_kib();
  ASSERT_TRUE(peak);
  EXPECT_LT(*peak, BOUND_KIB);
}

// An app that repeats its cursor sends 64 pages before it is refused; the tools taken in
// meanwhile cost about what they cost on the wire, not a block each.
TEST(AppServers, ListingThatNeverEndsIsHeldAtAboutItsOwnSize) {
#ifdef BRASK_SANITIZED
  GTEST_SKIP() << "sanitizers change how memory is allocated and counted";
#endif
  constexpr long TOOLS_PER_PAGE = 5000;
  GatewaySession session(
      {FakeAppEntry("endless", {"--endless-list", std::to_string(TOOLS_PER_PAGE)})});
  const std::optional<long> idle_peak = session.process().peak_memory_kib();
  ASSERT_TRUE(idle_peak);
  bool is_error = false;
  const std::string text = session.call(1, "endless", "echo", JsonObject{}, 120, &is_error);
  EXPECT_NE(text.find("more than 64 pages"), std::string::npos) << text;
  // Each of fake-app's tools is about 215 bytes on the wire; "about twice" has some room
  // here for the allocator.
  constexpr long RECEIVED_KIB = 64 * TOOLS_PER_PAGE * 215 / 1024;
  const std::optional<long> peak = session.process().peak_memory_kib();
  ASSERT_TRUE(peak);
  EXPECT_LT(*peak - *idle_peak, 5 * RECEIVED_KIB / 2);
}

// An answer that does not parse fails its call at once, naming the fault, when its
// top-level id can still be read, before or after the fault; a broken line with
// another request's id is passed over, as any line that is not JSON.
TEST(AppServers, AnswerThatDoesNotParseFailsItsCallAtOnce) {
  const std::string deep = std::string(130, '[') + std::string(130, ']');
  struct Case {
    const char* name;
    std::string line;
    bool fails_at_once;
  };
  const Case cases[] = {
      {"lone surrogate", R"({"jsonrpc":"2.0","id":ID,"result":{"content":[{"text":"\udc80"}]}})",
       true},
      {"id after the fault",
       R"({"result":{"content":[{"text":"\udc80"}]},"jsonrpc":"2.0","id":ID})", true},
      {"nested too deep", R"({"jsonrpc":"2.0","id":ID,"result":{"a":)" + deep + "}}", true},
      {"another request's id", R"({"id":424242,"result":{"content":[{"text":"\udc80"}]}})", false},
  };
  GatewaySession session({FakeAppEntry("alpha", {"--extra-tool", "raw"})});
  bool is_error = false;
  ASSERT_EQ(session.call(1, "alpha", "echo", JsonObject{}, 30, &is_error), "echo");
  int id = 2;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string sent = c.line;
    if (size_t at = sent.find("ID"); at != std::string::npos)
      sent.replace(at, 2, std::to_string(id));
    Result<JsonValue> parsed = parse_json(sent);
    ASSERT_FALSE(parsed.ok());
    std::chrono::milliseconds took{};
    const std::string text =
        session.call(id, "alpha", "raw", JsonObject{{"line", c.line}}, 3, &is_error, &took);
    EXPECT_TRUE(is_error);
    if (c.fails_at_once) {
      EXPECT_NE(text.find("the app's answer to `tools/call` is not valid JSON: " + parsed.error()),
                std::string::npos)
          << text;
      EXPECT_LT(took, std::chrono::seconds(2));
    } else {
      EXPECT_NE(text.find("the app did not answer `tools/call` within 3s"), std::string::npos)
          << text;
    }
    ++id;
  }
}

// A line within the limit that memory cannot hold is reported as what it is, not as a
// line too large.
TEST(AppServers, LineThatCannotGetItsMemoryIsNotCalledTooLarge) {
#ifdef BRASK_SANITIZED
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#endif
  GatewaySession session({FakeAppEntry("alpha")});
  bool is_error = false;
  ASSERT_EQ(session.call(1, "alpha", "echo", JsonObject{}, 30, &is_error), "echo");
  const pid_t gateway = session.process().pid();
  long size_kib = 0;
  std::ifstream status_file("/proc/" + std::to_string(gateway) + "/status");
  for (std::string line; std::getline(status_file, line);) {
    if (line.rfind("VmSize:", 0) == 0)
      size_kib = std::stol(line.substr(7));
  }
  ASSERT_GT(size_kib, 0);
  rlimit usual{};
  ASSERT_EQ(::prlimit(gateway, RLIMIT_AS, nullptr, &usual), 0);
  rlimit tight = usual;
  tight.rlim_cur = (static_cast<rlim_t>(size_kib) << 10) + (40 << 20);
  ASSERT_EQ(::prlimit(gateway, RLIMIT_AS, &tight, nullptr), 0);
  EXPECT_EQ(session.call(2, "alpha", "huge", JsonObject{{"bytes", 60 << 20}}, 60, &is_error),
            "the gateway ran out of memory for a message of the app");
  ASSERT_EQ(::prlimit(gateway, RLIMIT_AS, &usual, nullptr), 0);
  EXPECT_EQ(session.call(3, "alpha", "echo", JsonObject{}, 30, &is_error), "echo");
}

// Started under nohup, the gateway passes SIGHUP on ignored, as it got it; SIGPIPE,
// which the gateway ignores for itself, and the C library's reserved signals, which it
// would leave ignored, reach the app at their default.
TEST(AppServers, ServerGetsTheSignalDispositionsTheGatewayGot) {
  ProcessOptions options;
  options.ignored_signals = {SIGHUP};
  GatewaySession session({FakeAppEntry("alpha")}, options);
  ASSERT_TRUE(session.send(
      GatewaySession::call_request(1, "alpha", "info", JsonObject{{"signals", true}})));
  auto answer = session.answer(1);
  ASSERT_TRUE(answer);
  const JsonValue* result = answer->find("result");
  const JsonValue* content = result ? result->find("structuredContent") : nullptr;
  const JsonValue* ignored = content ? content->find("ignored") : nullptr;
  ASSERT_TRUE(ignored && ignored->as_array()) << render_compact(*answer);
  EXPECT_EQ(render_compact(*ignored), "[" + std::to_string(SIGHUP) + "]");
}

}  // namespace
}  // namespace brask::testing
