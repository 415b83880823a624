// live_children.cc: the record behind one mutex, bounded waits on pidfds outside it;
// see the header.
#include "apps/child/live_children.h"

#include <errno.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "apps/child/process_tree.h"
#include "base/mutex.h"
#include "base/unique_fd.h"

namespace brask {
namespace {

#ifndef P_PIDFD
constexpr idtype_t P_PIDFD = static_cast<idtype_t>(3);
#endif

// A started server. Its pidfd (where the system has them) keeps waits and reaps from
// reaching a process that took over its number.
struct Child {
  HeldProcess process;
  bool stopping = false;  // under LiveChildren::mutex: its owner is waiting for it to end
};
using ChildRef = std::shared_ptr<Child>;

struct LiveChildren {
  // Held across a `posix_spawn` and a tree's scan and signals, never across a wait.
  Mutex mutex;
  // Started and not reaped: each is reaped by its owner's stop (or `kill_live_children`),
  // never by the orphan reaper.
  std::vector<ChildRef> servers GUARDED_BY(mutex);
  // Killed, but not reapable within STOP_WAIT; reaped by `reap_ended_children`.
  std::vector<ChildRef> late GUARDED_BY(mutex);
  // The gateway's children before it served: never killed, reaped when they end.
  std::vector<pid_t> inherited GUARDED_BY(mutex);
  ProcDir proc GUARDED_BY(mutex);
  bool adopting GUARDED_BY(mutex) = false;
  bool stopping GUARDED_BY(mutex) = false;
  // Asked each time: a test may use the record in a forked copy of itself.
  pid_t self() const { return ::getpid(); }
  pid_t group() const { return ::getpgrp(); }
};

LiveChildren& live_children() {
  // Never destroyed: the signal thread may use it while the process exits.
  static LiveChildren* children = new LiveChildren;
  return *children;
}

bool contains(const std::vector<ChildRef>& list, pid_t pid) {
  return std::any_of(list.begin(), list.end(),
                     [&](const ChildRef& c) { return c->process.pid == pid; });
}

// Waits until `process` has ended or `deadline` has passed, without reaping it.
void wait_for_end(const HeldProcess& process, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return;
    if (process.handle.valid()) {
      // Readable once it has ended, even while only its tracer may reap it.
      pollfd ended{process.handle.get(), POLLIN, 0};
      if (::poll(&ended, 1, static_cast<int>(left.count())) >= 0 || errno != EINTR)
        return;
      continue;
    }
    // Without a pidfd (an old kernel, or no descriptor was free) only asking in turn is
    // left; a process that is not the gateway's child cannot be asked and is not waited for.
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(process.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        info.si_pid != 0)
      return;
    timespec pause{0, 5'000'000};
    ::nanosleep(&pause, nullptr);
  }
}

// Reaps `process`, a child of the gateway, if it has ended and may be reaped now; true
// once it is gone.
bool try_reap(const HeldProcess& process) {
  siginfo_t info{};
  int r = process.handle.valid()
              ? ::waitid(P_PIDFD, static_cast<id_t>(process.handle.get()), &info, WEXITED | WNOHANG)
              : ::waitid(P_PID, static_cast<id_t>(process.pid), &info, WEXITED | WNOHANG);
  if (r != 0)
    return errno == ECHILD;  // reaped already
  return info.si_pid != 0;
}

// Reaps the ended children nobody else reaps: any zombie child that is not a server
// its owner waits for. Late servers are reaped through their pidfds.
void reap_ended_locked(LiveChildren& children) REQUIRES(children.mutex) {
  auto& late = children.late;
  late.erase(std::remove_if(late.begin(), late.end(),
                            [](const ChildRef& c) { return try_reap(c->process); }),
             late.end());
  if (!children.adopting)
    return;
  for (const ProcessInfo& entry : children.proc.table()) {
    if (entry.parent != children.self() || entry.state != 'Z')
      continue;
    if (contains(children.servers, entry.pid) || contains(late, entry.pid))
      continue;
    // A zombie child outside the record: its number stays its own until this reaps it.
    if (::waitpid(entry.pid, nullptr, WNOHANG) == entry.pid)
      std::erase(children.inherited, entry.pid);
  }
}

// Kills the adopted orphans still running in the gateway's process group, with their
// trees, and returns what was killed.
std::vector<HeldProcess> stop_orphans_locked(LiveChildren& children) REQUIRES(children.mutex) {
  std::vector<HeldProcess> killed;
  if (!children.adopting)
    return killed;
  for (const ProcessInfo& entry : children.proc.table()) {
    if (entry.parent != children.self() || entry.group != children.group() || entry.state == 'Z')
      continue;
    if (contains(children.servers, entry.pid) || contains(children.late, entry.pid))
      continue;
    if (std::find(children.inherited.begin(), children.inherited.end(), entry.pid) !=
        children.inherited.end())
      continue;
    killed.push_back(HeldProcess{entry.pid, open_pidfd(entry.pid)});
    for (HeldProcess& member : kill_tree(children.proc, entry.pid, children.group()))
      killed.push_back(std::move(member));
  }
  return killed;
}

// Waits until `deadline` for `servers` and `others` to end, then reaps what may be
// reaped: servers that did not end are left for later, the rest goes with the
// gateway's other ended children.
void finish_stops(LiveChildren& children, const std::vector<ChildRef>& servers,
                  const std::vector<HeldProcess>& others,
                  std::chrono::steady_clock::time_point deadline) EXCLUDES(children.mutex) {
  for (const ChildRef& child : servers)
    wait_for_end(child->process, deadline);
  for (const HeldProcess& process : others)
    wait_for_end(process, deadline);
  MutexLock lock(children.mutex);
  for (const ChildRef& child : servers) {
    if (!try_reap(child->process))
      children.late.push_back(child);
  }
  reap_ended_locked(children);
}

}  // namespace

void supervise_children() {
  LiveChildren& children = live_children();
  MutexLock lock(children.mutex);
  children.proc.keep_open();
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0)
    return;
  children.adopting = true;
  for (const ProcessInfo& entry : children.proc.table()) {
    if (entry.parent == children.self())
      children.inherited.push_back(entry.pid);
  }
}

Result<pid_t> start_live_child(const std::function<Result<pid_t>()>& start) {
  LiveChildren& children = live_children();
  MutexLock lock(children.mutex);
  if (children.stopping)
    return fail("the gateway is stopping");
  Result<pid_t> pid = start();
  if (pid.ok())
    children.servers.push_back(std::make_shared<Child>(Child{{*pid, open_pidfd(*pid)}}));
  return pid;
}

void stop_live_child(pid_t pid) {
  LiveChildren& children = live_children();
  ChildRef child;
  std::vector<HeldProcess> members;
  {
    MutexLock lock(children.mutex);
    auto at = std::find_if(children.servers.begin(), children.servers.end(),
                           [&](const ChildRef& c) { return c->process.pid == pid; });
    // Gone from the record: `kill_live_children` has it, and the number may name another
    // process by now.
    if (at == children.servers.end() || (*at)->stopping)
      return;
    child = *at;
    child->stopping = true;
    members = kill_tree(children.proc, pid, children.group());
  }
  // Outside the lock: other apps start and stop meanwhile.
  const auto deadline = std::chrono::steady_clock::now() + STOP_WAIT;
  wait_for_end(child->process, deadline);
  for (const HeldProcess& member : members)
    wait_for_end(member, deadline);
  MutexLock lock(children.mutex);
  auto& servers = children.servers;
  auto at = std::find(servers.begin(), servers.end(), child);
  // Taken by `kill_live_children` meanwhile, which reaps it.
  if (at == servers.end())
    return;
  servers.erase(at);
  if (!try_reap(child->process))
    children.late.push_back(child);
  reap_ended_locked(children);
}

void stop_adopted_orphans() {
  LiveChildren& children = live_children();
  std::vector<HeldProcess> killed;
  {
    MutexLock lock(children.mutex);
    killed = stop_orphans_locked(children);
  }
  if (!killed.empty())
    finish_stops(children, {}, killed, std::chrono::steady_clock::now() + STOP_WAIT);
}

void kill_live_children() {
  LiveChildren& children = live_children();
  std::vector<ChildRef> servers;
  std::vector<HeldProcess> others;
  {
    MutexLock lock(children.mutex);
    children.stopping = true;
    // Owners stopping theirs meanwhile find them gone from the record and leave them.
    for (const ChildRef& child : children.servers) {
      for (HeldProcess& member : kill_tree(children.proc, child->process.pid, children.group()))
        others.push_back(std::move(member));
    }
    servers = std::move(children.servers);
    children.servers.clear();
    for (HeldProcess& orphan : stop_orphans_locked(children))
      others.push_back(std::move(orphan));
  }
  finish_stops(children, servers, others, std::chrono::steady_clock::now() + STOP_WAIT);
}

void reap_ended_children() {
  LiveChildren& children = live_children();
  MutexLock lock(children.mutex);
  reap_ended_locked(children);
}

size_t live_child_count() {
  LiveChildren& children = live_children();
  MutexLock lock(children.mutex);
  return children.servers.size();
}

}  // namespace brask
