// process_tree.cc: /proc scans, SIGSTOP then SIGKILL through pidfds; see the header.
#include "apps/child/process_tree.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

namespace brask {
namespace {

// A tree that still grows after this many scans is killed as far as it was found.
constexpr int MAX_SCANS = 64;

UniqueFd open_spare() {
  return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

bool out_of_descriptors() {
  return errno == EMFILE || errno == ENFILE;
}

// "pid (name) state parent group ...": the name may hold spaces and parentheses, so the
// fields are counted from the last ')'.
std::optional<ProcessInfo> parse_stat(pid_t pid, std::string_view text) {
  size_t name_end = text.rfind(')');
  if (name_end == std::string_view::npos)
    return std::nullopt;
  text.remove_prefix(name_end + 1);
  ProcessInfo info;
  info.pid = pid;
  size_t state = text.find_first_not_of(' ');
  if (state == std::string_view::npos)
    return std::nullopt;
  info.state = text[state];
  text.remove_prefix(state + 1);
  for (pid_t* field : {&info.parent, &info.group}) {
    if (text.empty() || text[0] != ' ')
      return std::nullopt;
    text.remove_prefix(1);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *field);
    if (ec != std::errc())
      return std::nullopt;
    text.remove_prefix(static_cast<size_t>(end - text.data()));
  }
  return info;
}

// The record layout getdents64 fills in; glibc declares no type for it.
struct LinuxDirent64 {
  uint64_t inode;
  int64_t offset;
  unsigned short length;
  unsigned char type;
  char name[1];
};

void send_signal(const HeldProcess& member, int signal_number) {
  if (member.handle.valid()) {
    ::syscall(SYS_pidfd_send_signal, member.handle.get(), signal_number, nullptr, 0);
  } else {
    ::kill(member.pid, signal_number);
  }
}

// Every process descended from `root` through processes of `group`, parents before
// their children.
std::vector<ProcessInfo> descendants(const std::vector<ProcessInfo>& table, pid_t root,
                                     pid_t group) {
  std::vector<ProcessInfo> found;
  std::vector<pid_t> parents{root};
  for (size_t i = 0; i < parents.size(); ++i) {
    for (const ProcessInfo& entry : table) {
      if (entry.parent != parents[i] || entry.group != group)
        continue;
      if (std::find(parents.begin(), parents.end(), entry.pid) != parents.end())
        continue;
      found.push_back(entry);
      parents.push_back(entry.pid);
    }
  }
  return found;
}

}  // namespace

void ProcDir::keep_open() {
  dir_ = UniqueFd(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  spare_ = open_spare();
}

UniqueFd ProcDir::open_stat(pid_t pid) {
  char path[32];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  // Relative to the kept descriptor, the path opens no directory on the way.
  const char* relative = path + 6;
  auto open = [&] {
    return dir_.valid() ? ::openat(dir_.get(), relative, O_RDONLY | O_CLOEXEC)
                        : ::open(path, O_RDONLY | O_CLOEXEC);
  };
  UniqueFd fd(open());
  if (!fd.valid() && out_of_descriptors() && spare_.valid()) {
    // Another thread may take the freed number first; then this read fails as before.
    spare_.reset();
    fd = UniqueFd(open());
  }
  return fd;
}

std::optional<ProcessInfo> ProcDir::info(pid_t pid) {
  std::optional<ProcessInfo> found;
  {
    UniqueFd fd = open_stat(pid);
    // The fields up to the group fit well within this; the rest is not needed.
    char buffer[512];
    ssize_t n = fd.valid() ? read_retry(fd.get(), buffer, sizeof buffer) : -1;
    if (n > 0)
      found = parse_stat(pid, std::string_view(buffer, static_cast<size_t>(n)));
  }
  if (dir_.valid() && !spare_.valid())
    spare_ = open_spare();
  return found;
}

std::vector<ProcessInfo> ProcDir::table() {
  std::vector<ProcessInfo> table;
  std::vector<pid_t> pids;
  UniqueFd opened;
  if (!dir_.valid())
    opened = UniqueFd(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const int fd = dir_.valid() ? dir_.get() : opened.get();
  if (fd < 0 || ::lseek(fd, 0, SEEK_SET) < 0)
    return table;
  alignas(LinuxDirent64) char buffer[16384];
  for (;;) {
    long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (n <= 0)
      break;
    for (long at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + at);
      at += entry->length;
      std::string_view name(entry->name);
      pid_t pid = 0;
      auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
      if (ec == std::errc() && end == name.data() + name.size())
        pids.push_back(pid);
    }
  }
  table.reserve(pids.size());
  for (pid_t pid : pids) {
    if (std::optional<ProcessInfo> found = info(pid))
      table.push_back(*found);
  }
  return table;
}

UniqueFd open_pidfd(pid_t pid) {
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

std::vector<HeldProcess> kill_tree(ProcDir& proc, pid_t root, pid_t group) {
  // The root is the gateway's unreaped child, so its number is safe to use.
  ::kill(root, SIGSTOP);
  std::vector<HeldProcess> members;
  for (int scan = 0; scan < MAX_SCANS; ++scan) {
    bool grew = false;
    for (const ProcessInfo& entry : descendants(proc.table(), root, group)) {
      auto known = [&](const HeldProcess& m) { return m.pid == entry.pid; };
      if (std::any_of(members.begin(), members.end(), known))
        continue;
      HeldProcess member{entry.pid, open_pidfd(entry.pid)};
      if (!member.handle.valid() && errno == ESRCH)
        continue;
      // Checked after the handle is open: the process it holds is the one found.
      std::optional<ProcessInfo> now = proc.info(entry.pid);
      if (!now || now->parent != entry.parent)
        continue;
      // A stopped process forks no more; the next scan finds what it forked before.
      send_signal(member, SIGSTOP);
      members.push_back(std::move(member));
      grew = true;
    }
    if (!grew)
      break;
  }
  ::kill(root, SIGKILL);
  for (const HeldProcess& member : members)
    send_signal(member, SIGKILL);
  return members;
}

}  // namespace brask
