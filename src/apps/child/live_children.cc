// live_children.cc: a set of pids behind one mutex; see the header.
#include "apps/child/live_children.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <vector>

#include "base/mutex.h"

namespace brask {
namespace {

struct LiveChildren {
  Mutex mutex;
  std::vector<pid_t> pids GUARDED_BY(mutex);
  bool stopping GUARDED_BY(mutex) = false;
};

LiveChildren& live_children() {
  // Never destroyed: the signal thread may use it while the process exits.
  static LiveChildren* children = new LiveChildren;
  return *children;
}

}  // namespace

Result<pid_t> start_live_child(const std::function<Result<pid_t>()>& start) {
  LiveChildren& children = live_children();
  MutexLock lock(children.mutex);
  if (children.stopping) return fail("the gateway is stopping");
  Result<pid_t> pid = start();
  if (pid.ok()) children.pids.push_back(*pid);
  return pid;
}

void forget_live_child(pid_t pid) {
  LiveChildren& children = live_children();
  MutexLock lock(children.mutex);
  for (size_t i = 0; i < children.pids.size(); ++i) {
    if (children.pids[i] == pid) {
      children.pids[i] = children.pids.back();
      children.pids.pop_back();
      return;
    }
  }
}

void kill_live_children() {
  LiveChildren& children = live_children();
  MutexLock lock(children.mutex);
  children.stopping = true;
  for (pid_t pid : children.pids) kill(pid, SIGKILL);
  // The owners may reap concurrently once they get the lock; here we hold it, so each
  // pid is still our unreaped child. Their later waitpid fails with ECHILD, ignored.
  for (pid_t pid : children.pids) {
    while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
    }
  }
  children.pids.clear();
}

size_t live_child_count() {
  LiveChildren& children = live_children();
  MutexLock lock(children.mutex);
  return children.pids.size();
}

}  // namespace brask
