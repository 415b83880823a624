// The record of live app server processes: what the signal thread kills.
#include "apps/child/live_children.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <vector>

#include "base/result.h"

extern char** environ;

namespace brask {
namespace {

Result<pid_t> spawn_sleeper() {
  char program[] = "/bin/sleep";
  char seconds[] = "600";
  char* argv[] = {program, seconds, nullptr};
  pid_t pid = -1;
  int error = posix_spawn(&pid, program, nullptr, nullptr, argv, environ);
  if (error != 0)
    return fail("posix_spawn failed");
  return pid;
}

bool reaped(pid_t pid) {
  // Our own child that is already reaped is gone: waitpid reports ECHILD.
  return waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// Each case runs in a forked child, since killing the record also closes it for good.
TEST(LiveChildren, KillReapsEveryRecordedChildAndRefusesLaterStarts) {
  EXPECT_EXIT(
      {
        std::vector<pid_t> pids;
        for (int i = 0; i < 3; ++i) {
          Result<pid_t> pid = start_live_child(&spawn_sleeper);
          if (!pid.ok())
            _exit(10);
          pids.push_back(*pid);
        }
        if (live_child_count() != 3)
          _exit(11);
        kill_live_children();
        for (pid_t pid : pids)
          if (!reaped(pid))
            _exit(12);
        if (live_child_count() != 0)
          _exit(13);
        bool ran = false;
        Result<pid_t> late = start_live_child([&]() -> Result<pid_t> {
          ran = true;
          return spawn_sleeper();
        });
        if (late.ok() || ran || late.error() != "the gateway is stopping")
          _exit(14);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(LiveChildren, StoppingOneLeavesTheOthersRecorded) {
  EXPECT_EXIT(
      {
        Result<pid_t> kept = start_live_child(&spawn_sleeper);
        Result<pid_t> stopped = start_live_child(&spawn_sleeper);
        if (!kept.ok() || !stopped.ok())
          _exit(10);
        stop_live_child(*stopped);
        if (!reaped(*stopped))
          _exit(11);
        stop_live_child(*stopped);  // twice is harmless
        if (live_child_count() != 1)
          _exit(12);
        if (waitpid(*kept, nullptr, WNOHANG) != 0)
          _exit(13);
        kill_live_children();
        if (!reaped(*kept))
          _exit(14);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(LiveChildren, FailedStartRecordsNothing) {
  Result<pid_t> failed = start_live_child([]() -> Result<pid_t> { return fail("no"); });
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), "no");
  EXPECT_EQ(live_child_count(), 0u);
}

}  // namespace
}  // namespace brask
