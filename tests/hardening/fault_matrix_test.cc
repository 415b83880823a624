// Broken and hostile app servers, end to end through the built gateway. For each
// fault: the agent's call is answered within its time-out, the next call to that app
// works (on a fresh server where the old one is beyond use), a second app is not
// disturbed, and at the end no process started for either app, or by it, is left.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "hardening/session.h"

namespace brask::testing {
namespace {

// ShellExec execs the server; ShellLauncher runs it as a child and waits, as most
// launchers do.
enum class Wrapper { None, ShellExec, ShellLauncher };

struct Fault {
  const char* name;
  const char* tool;
  const char* arguments;  // JSON object
  int timeout_secs;
  bool is_error;
  const char* text;   // expected within the answer's text; "" for the echo answer
  bool fresh_server;  // the next call must run on a new process
  Wrapper wrapper = Wrapper::None;
};

const Fault FAULTS[] = {
    {"ExitsMidCall", "crash", "{}", 30, true, "the app closed its MCP connection", true},
    {"HangsMidCall", "sleep", R"({"ms":600000})", 1, true,
     "the app did not answer `tools/call` within 1s", true},
    {"FloodsNotifications", "flood", R"({"count":20000})", 120, false, "echo", false},
    {"LineOfExactly64MiB", "huge", R"({"bytes":67108864,"json":true})", 120, false, "echo", false},
    {"LineOver64MiB", "huge", R"({"bytes":67108865})", 120, true,
     "the app sent a message larger than 67108864 bytes", true},
    {"GarbageAndInvalidUtf8", "garbage", "{}", 30, false, "echo", false},
    {"BurstOfPingsReadInFull", "ping-burst", R"({"count":2000})", 30, false, "echo", false},
    {"MismatchedIds", "wrong-id", "{}", 1, true, "the app did not answer `tools/call` within 1s",
     true},
    {"NeverReadsItsInput", "deaf-then-big", "{}", 2, true, "", true},
    {"GrandchildKeepsPipesOpen", "grandchild-then-crash", "{}", 30, true,
     "the app closed its MCP connection", true},
    {"ResultIsNull", "respond", R"({"response":{"result":null}})", 30, true,
     "`respond` of hostile answered with a result that is not an object", false},
    {"ResultIsAString", "respond", R"({"response":{"result":"done"}})", 30, true,
     "`respond` of hostile answered with a result that is not an object", false},
    {"ExecWrapperScript", "sleep", R"({"ms":600000})", 1, true,
     "the app did not answer `tools/call` within 1s", true, Wrapper::ShellExec},
    {"LauncherThatDoesNotExec", "sleep", R"({"ms":600000})", 1, true,
     "the app did not answer `tools/call` within 1s", true, Wrapper::ShellLauncher},
};

class FaultMatrix : public ::testing::TestWithParam<Fault> {};

JsonValue object(const char* text) {
  auto parsed = parse_json(text);
  EXPECT_TRUE(parsed.ok()) << text;
  return parsed.ok() ? *parsed : JsonValue(JsonObject{});
}

TEST_P(FaultMatrix, AnsweredInTimeThenRecoversWithoutLeftovers) {
  const Fault& f = GetParam();
  FakeAppEntry hostile("hostile", {"--hostile"});
  if (f.wrapper != Wrapper::None) {
    hostile.command = "/bin/sh";
    const char* script =
        f.wrapper == Wrapper::ShellExec ? "exec \"$0\" \"$@\"" : "\"$0\" \"$@\"; exit $?";
    hostile.args = {"-c", script, program_path("fake-app"), "--hostile"};
  }
  GatewaySession session({hostile, FakeAppEntry("bystander")});
  bool is_error = false;
  ASSERT_EQ(session.call(1, "bystander", "echo", JsonObject{}, 30, &is_error), "echo");
  ASSERT_EQ(session.call(2, "hostile", "echo", JsonObject{}, 30, &is_error), "echo");
  ASSERT_EQ(session.app_pids("hostile").size(), 1u);

  std::string tool = f.tool;
  std::vector<pid_t> strays;  // processes the app started on its own
  if (tool == "deaf-then-big") {
    // The app stops reading; a call whose request outgrows the pipe cannot be sent.
    ASSERT_EQ(session.call(3, "hostile", "deaf", JsonObject{}, 30, &is_error), "echo");
    tool = "echo";
  } else if (tool == "grandchild-then-crash") {
    ASSERT_TRUE(session.send(
        GatewaySession::call_request(3, "hostile", "grandchild", JsonObject{{"ms", 20000}}, 30)));
    auto answer = session.answer(3);
    ASSERT_TRUE(answer);
    const JsonValue* pid =
        answer->find("result") ? answer->find("result")->find("structuredContent") : nullptr;
    ASSERT_TRUE(pid && pid->find("pid") && pid->find("pid")->as_unsigned());
    strays.push_back(static_cast<pid_t>(*pid->find("pid")->as_unsigned()));
    // The server exits while its grandchild holds the output pipe open: the server's
    // own end closes the connection all the same.
    tool = "crash";
  }
  JsonValue arguments = object(f.arguments);
  if (std::string(f.name) == "NeverReadsItsInput")
    arguments = JsonObject{{"padding", std::string(4 << 20, 'p')}};
  std::chrono::milliseconds took{};
  const std::string text =
      session.call(4, "hostile", tool, std::move(arguments), f.timeout_secs, &is_error, &took);
  EXPECT_EQ(is_error, f.is_error) << text.substr(0, 300);
  EXPECT_NE(text.find(f.text), std::string::npos) << text.substr(0, 300);
  EXPECT_LT(took, std::chrono::seconds(f.timeout_secs + 15));

  // The app works again, the bystander never noticed.
  EXPECT_EQ(session.call(5, "hostile", "echo", JsonObject{}, 30, &is_error), "echo");
  EXPECT_FALSE(is_error);
  EXPECT_EQ(session.app_pids("hostile").size(), f.fresh_server ? 2u : 1u);
  EXPECT_EQ(session.call(6, "bystander", "echo", JsonObject{}, 30, &is_error), "echo");
  EXPECT_EQ(session.app_pids("bystander").size(), 1u);

  session.process().close_stdin();
  ExitStatus status = session.process().wait(std::chrono::seconds(60));
  EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
  for (const char* app : {"hostile", "bystander"}) {
    for (pid_t pid : session.app_pids(app))
      EXPECT_FALSE(process_exists(pid)) << app << " server " << pid << " left running";
  }
  // What the server started went with it.
  for (pid_t pid : strays) {
    EXPECT_FALSE(process_exists(pid)) << "grandchild " << pid << " left running";
    ::kill(pid, SIGKILL);
  }
}

INSTANTIATE_TEST_SUITE_P(Apps, FaultMatrix, ::testing::ValuesIn(FAULTS),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brask::testing
