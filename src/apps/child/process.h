// process.h: `ChildProcess`, the sole owner of one started app server process. Its
// destruction kills the process and every process it started in turn, and reaps
// them, so no path leaves a zombie or a stray. Used by the thread that owns the
// connection holding it.
#pragma once

#include <sys/types.h>

namespace brask {

class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { stop(); }

  pid_t pid() const { return pid_; }

  // Unless already done, kills the process with its tree and reaps it
  // (stop_live_child). Errors are ignored. Blocks until the processes have ended.
  void stop();

 private:
  pid_t pid_;            // -1 once moved from
  bool reaped_ = false;  // set by stop()
};

}  // namespace brask
