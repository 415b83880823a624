#include "apps/child/process.h"

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
  if (pid_ <= 0 || reaped_)
    return;
  stop_live_child(pid_);
  reaped_ = true;
}

}  // namespace brask
