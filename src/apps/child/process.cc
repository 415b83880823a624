#include "apps/child/process.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>

#include <utility>

#include "apps/child/live_children.h"

namespace brask {

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), reaped_(other.reaped_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    stop();
    pid_ = std::exchange(other.pid_, -1);
    reaped_ = other.reaped_;
  }
  return *this;
}

void ChildProcess::stop() {
  if (pid_ <= 0 || reaped_) return;
  ::kill(pid_, SIGKILL);
  // Before the reap, so the record never holds a pid that may be reused.
  forget_live_child(pid_);
  // Retried only on EINTR; ECHILD and the like leave nothing to reap.
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
}

}  // namespace brask
