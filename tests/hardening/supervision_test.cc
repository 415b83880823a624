// What the gateway's stops kill and what they leave alone, and that no process an app
// starts can make a stop, a call or the gateway's end wait without a bound; end to end
// through the built gateway, with launchers written in sh as real ones are.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "hardening/session.h"

namespace brask::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

// Waits up to `limit` for `done`; whether it came true.
bool eventually(const std::function<bool()>& done, milliseconds limit = seconds(30)) {
  const auto deadline = steady_clock::now() + limit;
  while (!done()) {
    if (steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

// The pid a script wrote to `path`, once it is there; 0 if it never comes.
pid_t pid_in(const std::string& path) {
  pid_t pid = 0;
  eventually([&] {
    std::ifstream in(path);
    return static_cast<bool>(in >> pid) && pid > 0;
  });
  return pid;
}

// An app run through /bin/sh: `script` runs with "$0" the fake-app and "$@" its options.
FakeAppEntry shell_app(const std::string& id, const std::string& script,
                       std::vector<std::string> options = {}) {
  std::vector<std::string> args{"-c", script, program_path("fake-app")};
  args.insert(args.end(), options.begin(), options.end());
  return FakeAppEntry(id, std::move(args), "/bin/sh");
}

JsonValue describe_request(int id, const std::string& app, const std::string& tool) {
  return JsonObject{
      {"jsonrpc", "2.0"},
      {"id", id},
      {"method", "tools/call"},
      {"params", JsonObject{{"name", "brask_describe_tool"},
                            {"arguments", JsonObject{{"app", app}, {"tool", tool}}}}}};
}

// Both sides of a stop. Killed: a launcher that does not exec, the hung server behind
// it and its helper, after a time-out; at the end, what servers left running in the
// gateway's process group. Left alone: the children the gateway was started with (one
// of them relays its output), the process another app detached into a session of its
// own, at that app's restart and at the gateway's end. Helpers that exit are reaped at
// once.
TEST(Supervision, StopsKillTheAppsOwnProcessesAndNothingElse) {
  TempDir marks;
  const std::string m = marks.path();
  const std::string keeper_script = "setsid -f sh -c 'echo $$ > " + m +
                                    "/detached; exec sleep 300'\n"
                                    "(sleep 300 & echo $! > " +
                                    m +
                                    "/orphan)\n"
                                    "for i in $(seq 40); do (sleep 0.2 &); done\n"
                                    "exec \"$0\" \"$@\"";
  const std::string launcher_script =
      "sleep 300 & echo $! > " + m + "/helper\n\"$0\" \"$@\"; exit $?";
  GatewaySession session(
      {shell_app("keeper", keeper_script), shell_app("launcher", launcher_script)}, {},
      "sleep 300 </dev/null >/dev/null 2>&1 & echo $! > " + m +
          "/inherited\nexec > >(exec cat)\necho $! > " + m + "/relay");
  const pid_t gateway = session.process().pid();
  bool is_error = false;
  ASSERT_EQ(session.call(1, "keeper", "echo", JsonObject{}, 30, &is_error), "echo");
  ASSERT_EQ(session.call(2, "launcher", "echo", JsonObject{}, 30, &is_error), "echo");
  const pid_t inherited = pid_in(m + "/inherited"), relay = pid_in(m + "/relay");
  const pid_t detached = pid_in(m + "/detached"), orphan = pid_in(m + "/orphan");
  const pid_t helper = pid_in(m + "/helper");
  for (pid_t pid : {inherited, relay, detached, orphan, helper})
    ASSERT_GT(pid, 0);
  const std::vector<pid_t> first = session.app_pids("launcher");
  ASSERT_EQ(first.size(), 1u);

  EXPECT_EQ(session.call(3, "launcher", "sleep", JsonObject{{"ms", 600000}}, 1, &is_error),
            "the app did not answer `tools/call` within 1s");
  // The restart kills the launcher's whole tree, and the answer still comes through the
  // relay the gateway inherited.
  EXPECT_EQ(session.call(4, "launcher", "echo", JsonObject{}, 30, &is_error), "echo");
  EXPECT_EQ(session.app_pids("launcher").size(), 2u);
  EXPECT_FALSE(process_exists(first[0])) << "the hung server survived its stop";
  EXPECT_FALSE(process_exists(helper)) << "the launcher's helper survived its stop";
  for (pid_t pid : {inherited, relay, detached, orphan})
    EXPECT_TRUE(process_exists(pid)) << pid << " was not the stopped app's to kill";
  EXPECT_TRUE(eventually([&] { return zombie_children(gateway) == 0; }))
      << zombie_children(gateway) << " ended helpers left unreaped";

  session.process().close_stdin();
  ExitStatus status = session.process().wait(seconds(30));
  EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
  for (const char* app : {"keeper", "launcher"}) {
    for (pid_t pid : session.app_pids(app))
      EXPECT_FALSE(process_exists(pid)) << app << " server " << pid << " outlived the gateway";
  }
  EXPECT_TRUE(eventually([&] { return !process_exists(orphan); }))
      << "what a server left in the gateway's group outlived it";
  EXPECT_TRUE(process_exists(detached)) << "the gateway's end killed a detached process";
  EXPECT_TRUE(process_exists(inherited)) << "the gateway's end killed a child it inherited";
  for (pid_t pid : {detached, inherited, orphan})
    ::kill(pid, SIGKILL);
}

// A server that only its tracer may reap once killed, the tracer living on: its restart,
// another app's call and the gateway's end, by end of input or by signal, all go on
// within a few seconds.
TEST(Supervision, ServerThatCannotBeReapedDelaysNothing) {
  for (bool by_signal : {false, true}) {
    SCOPED_TRACE(by_signal ? "ended by SIGTERM" : "ended by end of input");
    TempDir marks;
    GatewaySession session({FakeAppEntry("traced", {"--traced", marks.path() + "/tracer"}),
                            FakeAppEntry("bystander")});
    bool is_error = false;
    ASSERT_EQ(session.call(1, "traced", "echo", JsonObject{}, 30, &is_error), "echo");
    ASSERT_EQ(session.call(2, "bystander", "echo", JsonObject{}, 30, &is_error), "echo");
    std::vector<pid_t> tracers{pid_in(marks.path() + "/tracer")};
    EXPECT_EQ(session.call(3, "traced", "sleep", JsonObject{{"ms", 600000}}, 1, &is_error),
              "the app did not answer `tools/call` within 1s");
    milliseconds took{};
    EXPECT_EQ(session.call(4, "traced", "echo", JsonObject{}, 30, &is_error, &took), "echo");
    EXPECT_LT(took, seconds(10));
    tracers.push_back(pid_in(marks.path() + "/tracer"));
    // A signal ends the gateway even during a call; end of input waits for calls.
    if (by_signal) {
      ASSERT_TRUE(session.send(
          GatewaySession::call_request(5, "traced", "sleep", JsonObject{{"ms", 600000}}, 600)));
    }
    EXPECT_EQ(session.call(6, "bystander", "echo", JsonObject{}, 30, &is_error, &took), "echo");
    EXPECT_LT(took, seconds(5));

    const auto start = steady_clock::now();
    if (by_signal) {
      ASSERT_EQ(::kill(session.process().pid(), SIGTERM), 0);
    } else {
      session.process().close_stdin();
    }
    ExitStatus status = session.process().wait(seconds(60));
    EXPECT_LT(steady_clock::now() - start, seconds(10)) << status.describe();
    EXPECT_FALSE(status.timed_out);
    for (pid_t tracer : tracers) {
      EXPECT_TRUE(process_exists(tracer)) << "the tracer was meant to outlive the gateway";
      ::kill(tracer, SIGKILL);
    }
  }
}

// An idle app that sends pings and then stops reading: its cached catalogue still
// answers at once, the next call keeps its time-out, and its answers, however large
// their ids, are not all held in memory.
TEST(Supervision, IdleAppThatStopsReadingStallsNothing) {
  struct Case {
    const char* name;
    long pings;
    long id_bytes;
  };
  for (const Case& c : {Case{"ninety pings", 90, 0}, Case{"pings with 6 MiB ids", 70, 6 << 20}}) {
    SCOPED_TRACE(c.name);
    GatewaySession session({FakeAppEntry("deaf")});
    bool is_error = false;
    ASSERT_EQ(session.call(1, "deaf", "echo", JsonObject{}, 30, &is_error), "echo");
    ASSERT_EQ(session.call(2, "deaf", "deaf",
                           JsonObject{{"pings", c.pings}, {"id_bytes", c.id_bytes}}, 30, &is_error),
              "echo");
    for (int id = 3; id < 6; ++id) {
      const auto start = steady_clock::now();
      ASSERT_TRUE(session.send(describe_request(id, "deaf", "echo")));
      ASSERT_TRUE(session.answer(id, seconds(60)));
      EXPECT_LT(steady_clock::now() - start, seconds(2)) << "describe " << id;
    }
    milliseconds took{};
    (void)session.call(6, "deaf", "echo", JsonObject{}, 3, &is_error, &took);
    EXPECT_LT(took, milliseconds(4500));
#ifndef BRASK_SANITIZED
    std::optional<long> peak = session.process().peak_memory_kib();
    ASSERT_TRUE(peak);
    EXPECT_LT(*peak, 200L << 10) << "KiB at the peak";
#endif
  }
}

// With no descriptor free, a stop still finds the whole tree of the app it stops.
TEST(Supervision, StopFindsTheTreeWhenDescriptorsRunShort) {
#ifdef BRASK_SANITIZED
  // UndefinedBehaviorSanitizer opens a pipe to check that memory it reports on is readable;
  // without one it reports a valid object as invalid.
  GTEST_SKIP() << "sanitizers need descriptors of their own";
#endif
  TempDir marks;
  GatewaySession session({shell_app(
      "launcher", "sleep 300 & echo $! > " + marks.path() + "/helper\n\"$0\" \"$@\"; exit $?")});
  bool is_error = false;
  ASSERT_EQ(session.call(1, "launcher", "echo", JsonObject{}, 30, &is_error), "echo");
  const pid_t helper = pid_in(marks.path() + "/helper");
  ASSERT_GT(helper, 0);
  const pid_t gateway = session.process().pid();
  rlimit tight{};
  ASSERT_EQ(::prlimit(gateway, RLIMIT_NOFILE, nullptr, &tight), 0);
  // Descriptors are numbered from the lowest free one: none can be opened past it.
  tight.rlim_cur = 0;
  for (int fd : process_fds(gateway)) {
    if (static_cast<rlim_t>(fd) != tight.rlim_cur)
      break;
    ++tight.rlim_cur;
  }
  ASSERT_EQ(::prlimit(gateway, RLIMIT_NOFILE, &tight, nullptr), 0);
  ASSERT_EQ(::kill(gateway, SIGTERM), 0);
  ExitStatus status = session.process().wait(seconds(30));
  EXPECT_EQ(status.signal, SIGTERM) << status.describe();
  EXPECT_TRUE(eventually([&] { return !process_exists(helper); }, seconds(5)))
      << "the launcher's helper survived the stop";
  ::kill(helper, SIGKILL);
}

}  // namespace
}  // namespace brask::testing
