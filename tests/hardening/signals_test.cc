// Ending the gateway by a signal stops every app server it started, then the gateway
// ends by that same signal.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "hardening/session.h"

namespace brask::testing {
namespace {

struct SignalCase {
  const char* name;
  int signal;
  bool close_input_first;  // end of input with a call still running, then the signal
};

class EndBySignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(EndBySignal, NoAppServerOutlivesTheGateway) {
  const SignalCase& c = GetParam();
  GatewaySession session({FakeAppEntry("alpha"), FakeAppEntry("beta")});
  // Start both servers, then leave a long call running on one of them.
  ASSERT_TRUE(session.send(GatewaySession::call_request(1, "alpha", "echo")));
  ASSERT_TRUE(session.send(GatewaySession::call_request(2, "beta", "echo")));
  for (int id : {1, 2}) {
    auto answer = session.answer(id);
    ASSERT_TRUE(answer) << "no answer to " << id;
    bool is_error = false;
    EXPECT_EQ(GatewaySession::result_text(*answer, &is_error), "echo");
    EXPECT_FALSE(is_error);
  }
  ASSERT_TRUE(session.send(
      GatewaySession::call_request(3, "alpha", "sleep", JsonObject{{"ms", 600000}}, 3600)));
  std::vector<pid_t> pids = session.app_pids("alpha");
  const std::vector<pid_t> beta = session.app_pids("beta");
  pids.insert(pids.end(), beta.begin(), beta.end());
  ASSERT_EQ(pids.size(), 2u);
  if (c.close_input_first)
    session.process().close_stdin();

  ASSERT_EQ(::kill(session.process().pid(), c.signal), 0);
  ExitStatus status = session.process().wait(std::chrono::seconds(30));
  EXPECT_FALSE(status.exited) << status.describe();
  EXPECT_EQ(status.signal, c.signal) << status.describe();
  for (pid_t pid : pids)
    EXPECT_FALSE(process_exists(pid)) << "app server " << pid << " left";
}

INSTANTIATE_TEST_SUITE_P(Signals, EndBySignal,
                         ::testing::Values(SignalCase{"Term", SIGTERM, false},
                                           SignalCase{"Int", SIGINT, false},
                                           SignalCase{"Hup", SIGHUP, false},
                                           SignalCase{"TermAfterEndOfInput", SIGTERM, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EndBySignal, IdleGatewayWithoutAppsEndsBySignal) {
  GatewaySession session(std::vector<FakeAppEntry>{});
  ASSERT_EQ(::kill(session.process().pid(), SIGTERM), 0);
  ExitStatus status = session.process().wait(std::chrono::seconds(30));
  EXPECT_EQ(status.signal, SIGTERM) << status.describe();
}

TEST(EndBySignal, EndOfInputStillWaitsForCallsAndExitsZero) {
  GatewaySession session({FakeAppEntry("alpha")});
  ASSERT_TRUE(
      session.send(GatewaySession::call_request(1, "alpha", "sleep", JsonObject{{"ms", 300}}, 60)));
  session.process().close_stdin();
  auto answer = session.answer(1);
  ASSERT_TRUE(answer);
  ExitStatus status = session.process().wait(std::chrono::seconds(30));
  EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
  for (pid_t pid : session.app_pids("alpha"))
    EXPECT_FALSE(process_exists(pid));
}

}  // namespace
}  // namespace brask::testing
