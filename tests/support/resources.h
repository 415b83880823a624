// resources.h: checks that a test left no descriptor open and no child process
// unreaped, and small helpers for tests that play an app over pipes.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "apps/child/app_entry.h"

namespace brask::testing {

// The descriptors open in this process, in order.
std::vector<int> open_fds();

// Detached threads close their descriptors shortly after their connection goes:
// waits, up to `limit`, until no descriptor is open that `before` lacks. Returns the
// ones still open then.
std::vector<int> wait_for_fds_closed(const std::vector<int>& before,
                                     std::chrono::milliseconds limit = std::chrono::seconds(10));

// True when this process has a child, running or a zombie; reaps nothing that is
// still running.
bool has_children();

// Whether `pid` still exists (as a running process or a zombie).
bool process_exists(pid_t pid);

// The descriptors open in process `pid`, in order.
std::vector<int> process_fds(pid_t pid);

// The threads of process `pid`; 0 once it is gone.
int thread_count(pid_t pid);

// The processes whose parent is `pid`.
std::vector<pid_t> children_of(pid_t pid);

// How many of them are zombies, ended and not yet reaped by `pid`.
int zombie_children(pid_t pid);

// An apps entry running bin/fake-app with `args`.
AppEntry fake_app_entry(std::vector<std::string> args, std::string name = "Fake");

// The process ids listed in a fake-app count file, in start order.
std::vector<pid_t> read_count_file(const std::string& path);

// A fresh empty folder under the system's temporary folder, removed with all it holds
// when this goes (owner permissions a test took away are given back first). A folder
// that cannot be made fails the test, and `path()` is empty then.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Fixture that fails a test leaving a descriptor open or a child process unreaped.
// Ignores SIGPIPE, as the gateway does, so a write to a gone reader fails with EPIPE.
// The count is taken on construction, before any fixture that derives from it opens
// anything.
class NoLeaksTest : public ::testing::Test {
 protected:
  NoLeaksTest();
  void TearDown() override;

 private:
  std::vector<int> fds_before_;
};

}  // namespace brask::testing
