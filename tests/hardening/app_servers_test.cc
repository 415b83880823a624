// App servers as they are really started and run, end to end through the built
// gateway: shortages of the gateway's own, starts that fail slowly.
#include <sys/resource.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hardening/session.h"

namespace brask::testing {
namespace {

// The lowest descriptor number that process `pid` has free.
rlim_t lowest_free_fd(pid_t pid) {
  rlim_t free_fd = 0;
  for (int fd : process_fds(pid)) {
    if (static_cast<rlim_t>(fd) != free_fd) break;
    ++free_fd;
  }
  return free_fd;
}

// With no descriptor free, the gateway cannot read apps.json: that call is answered
// with the cause, and the running app server is not stopped.
TEST(AppServers, GatewayOutOfDescriptorsIsNotTheAgentsSwitch) {
  GatewaySession session({FakeApp("alpha")});
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
  GatewaySession session({FakeApp("stuck", {"--no-initialize", "--exit-after-ms", "1500"})});
  const std::string want =
      "stuck did not start its MCP server: the app closed its MCP connection";
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
  GatewaySession session({FakeApp("alpha")});
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
  for (size_t i = 1; i < NUMBERS; ++i) request += ",0";
  request += "]}";
  ASSERT_TRUE(session.send_line(request));
  ASSERT_TRUE(session.send_line(R"({"jsonrpc":"2.0","id":3,"method":"ping"})"));
  ASSERT_TRUE(session.answer(3)) << "the gateway stopped serving";
  // Answered as a ping, or refused for want of memory (with id null, when even the
  // parse could not be held).
  EXPECT_TRUE(session.answer(2, std::chrono::milliseconds(1)) ||
              session.answer(JsonValue(nullptr), std::chrono::milliseconds(1)));

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

}  // namespace
}  // namespace brask::testing
