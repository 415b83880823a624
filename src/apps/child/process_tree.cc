// process_tree.cc: /proc scans, SIGSTOP then SIGKILL through pidfds; see the header.
#include "apps/child/process_tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <optional>
#include <string_view>
#include <utility>

#include "base/unique_fd.h"

namespace brask {
namespace {

// Set once by adopt_orphans, on the main thread before any app starts.
std::atomic<bool> adopting{false};

// A tree that still grows after this many scans is killed as far as it was found.
constexpr int MAX_SCANS = 64;

struct ProcessEntry {
  pid_t pid;
  pid_t parent;
};

// The parent of `pid`, from /proc; nothing once it has gone.
std::optional<pid_t> parent_of(pid_t pid) {
  char path[32];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid())
    return std::nullopt;
  // The fields up to the parent fit well within this; the rest is not needed.
  char buffer[512];
  ssize_t n = read_retry(fd.get(), buffer, sizeof buffer);
  if (n <= 0)
    return std::nullopt;
  // "pid (name) state parent ...": the name may hold spaces and parentheses, so the
  // fields are counted from the last ')'.
  std::string_view text(buffer, static_cast<size_t>(n));
  size_t name_end = text.rfind(')');
  if (name_end == std::string_view::npos)
    return std::nullopt;
  text.remove_prefix(name_end + 1);
  size_t state = text.find_first_not_of(' ');
  if (state == std::string_view::npos)
    return std::nullopt;
  size_t parent_at = text.find(' ', state);
  if (parent_at == std::string_view::npos)
    return std::nullopt;
  text.remove_prefix(parent_at + 1);
  pid_t parent = 0;
  if (std::from_chars(text.data(), text.data() + text.size(), parent).ec != std::errc())
    return std::nullopt;
  return parent;
}

std::vector<ProcessEntry> process_table() {
  std::vector<ProcessEntry> table;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr)
    return table;
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    pid_t pid = 0;
    if (std::from_chars(name.data(), name.data() + name.size(), pid).ec != std::errc())
      continue;
    if (std::optional<pid_t> parent = parent_of(pid))
      table.push_back({pid, *parent});
  }
  ::closedir(dir);
  return table;
}

// Every process descended from `root`, parents before their children.
std::vector<ProcessEntry> descendants(const std::vector<ProcessEntry>& table, pid_t root) {
  std::vector<ProcessEntry> found;
  std::vector<pid_t> parents{root};
  for (size_t i = 0; i < parents.size(); ++i) {
    for (const ProcessEntry& entry : table) {
      if (entry.parent != parents[i])
        continue;
      if (std::find(parents.begin(), parents.end(), entry.pid) != parents.end())
        continue;
      found.push_back(entry);
      parents.push_back(entry.pid);
    }
  }
  return found;
}

// A process of a tree, held through a pidfd where the system has them, so that a
// signal never reaches a process that took over the number of one that ended.
struct Member {
  pid_t pid;
  UniqueFd handle;  // invalid: signalled by number
};

std::optional<Member> hold(const ProcessEntry& entry) {
  UniqueFd handle(static_cast<int>(::syscall(SYS_pidfd_open, entry.pid, 0)));
  if (!handle.valid() && errno == ESRCH)
    return std::nullopt;
  // Checked after the handle is open: the process it holds is the one found.
  std::optional<pid_t> parent = parent_of(entry.pid);
  if (parent && *parent != entry.parent)
    return std::nullopt;
  return Member{entry.pid, std::move(handle)};
}

void send_signal(const Member& member, int signal_number) {
  if (member.handle.valid()) {
    ::syscall(SYS_pidfd_send_signal, member.handle.get(), signal_number, nullptr, 0);
  } else {
    ::kill(member.pid, signal_number);
  }
}

void reap(pid_t pid) {
  // ECHILD: not (or no longer) the gateway's child; nothing to do.
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void adopt_orphans() {
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0)
    adopting = true;
}

void kill_tree(pid_t root) {
  // The root is the gateway's unreaped child, so its number is safe to use.
  ::kill(root, SIGSTOP);
  std::vector<Member> members;
  for (int scan = 0; scan < MAX_SCANS; ++scan) {
    bool grew = false;
    for (const ProcessEntry& entry : descendants(process_table(), root)) {
      auto known = [&](const Member& m) { return m.pid == entry.pid; };
      if (std::any_of(members.begin(), members.end(), known))
        continue;
      if (std::optional<Member> member = hold(entry)) {
        // A stopped process forks no more; the next scan finds what it forked before.
        send_signal(*member, SIGSTOP);
        members.push_back(std::move(*member));
        grew = true;
      }
    }
    if (!grew)
      break;
  }
  ::kill(root, SIGKILL);
  for (const Member& member : members)
    send_signal(member, SIGKILL);
  reap(root);
  // Parents come first, so each member is the gateway's (adopted) child by the time it
  // is waited for.
  for (const Member& member : members)
    reap(member.pid);
}

void stop_orphans(const std::vector<pid_t>& servers) {
  if (!adopting)
    return;
  const pid_t self = ::getpid();
  for (int scan = 0; scan < MAX_SCANS; ++scan) {
    bool found = false;
    for (const ProcessEntry& entry : process_table()) {
      if (entry.parent != self)
        continue;
      if (std::find(servers.begin(), servers.end(), entry.pid) != servers.end())
        continue;
      kill_tree(entry.pid);
      found = true;
    }
    if (!found)
      break;
  }
}

}  // namespace brask
