#include "apps/child/process.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>

#include <utility>

#include "apps/child/live_children.h"

namespace brask {

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      reaped_(other.reaped_),
      wait_status_(other.wait_status_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    stop();
    pid_ = std::exchange(other.pid_, -1);
    reaped_ = other.reaped_;
    wait_status_ = other.wait_status_;
  }
  return *this;
}

void ChildProcess::stop() {
  if (pid_ <= 0 || reaped_) return;
  ::kill(pid_, SIGKILL);
  // Before the reap, so the record never holds a pid that may be reused.
  forget_live_child(pid_);
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, 0);
    if (r == pid_) {
      wait_status_ = status;
      break;
    }
    if (r < 0 && errno == EINTR) continue;
    break;  // ECHILD and the like: nothing left to reap
  }
  reaped_ = true;
}

}  // namespace brask
