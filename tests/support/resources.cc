#include "support/resources.h"

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <thread>

#include "support/paths.h"

namespace brask::testing {

std::vector<int> open_fds() {
  return process_fds(::getpid());
}

std::vector<int> wait_for_fds_closed(const std::vector<int>& before,
                                     std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::vector<int> now = open_fds();
    std::vector<int> added;
    std::set_difference(now.begin(), now.end(), before.begin(), before.end(),
                        std::back_inserter(added));
    // Nothing signals a detached thread's last close, so this looks again until the
    // deadline; the common case returns on the first look.
    if (added.empty() || std::chrono::steady_clock::now() >= deadline)
      return added;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool has_children() {
  siginfo_t info{};
  int r = ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT);
  return !(r < 0 && errno == ECHILD);
}

bool process_exists(pid_t pid) {
  return ::kill(pid, 0) == 0 || errno != ESRCH;
}

std::vector<int> process_fds(pid_t pid) {
  std::vector<int> fds;
  std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = ::opendir(path.c_str());
  if (!dir)
    return fds;
  const int own = pid == ::getpid() ? ::dirfd(dir) : -1;  // the listing's own descriptor
  while (dirent* e = ::readdir(dir)) {
    int fd = 0;
    const char* name = e->d_name;
    const char* end = name + std::char_traits<char>::length(name);
    if (std::from_chars(name, end, fd).ptr == end && name != end && fd != own)
      fds.push_back(fd);
  }
  ::closedir(dir);
  std::sort(fds.begin(), fds.end());
  return fds;
}

int thread_count(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  int count = 0;
  while (status >> key) {
    if (key == "Threads:" && status >> count)
      return count;
  }
  return 0;
}

std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    pid_t candidate = 0;
    if (std::from_chars(name.data(), name.data() + name.size(), candidate).ec != std::errc())
      continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    std::getline(stat, text);
    // "pid (name) state parent ...", counted from the last ')' of the name.
    const size_t name_end = text.rfind(')');
    if (name_end == std::string::npos)
      continue;
    std::istringstream fields(text.substr(name_end + 1));
    std::string state;
    pid_t parent = 0;
    if (fields >> state >> parent && parent == pid)
      children.push_back(candidate);
  }
  return children;
}

int zombie_children(pid_t pid) {
  int zombies = 0;
  for (pid_t child : children_of(pid)) {
    std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The state follows the name, which may hold spaces and parentheses.
    const size_t name_end = text.rfind(')');
    zombies +=
        name_end != std::string::npos && name_end + 2 < text.size() && text[name_end + 2] == 'Z';
  }
  return zombies;
}

AppEntry fake_app_entry(std::vector<std::string> args, std::string name) {
  return AppEntry{"fake", std::move(name), program_path("fake-app"), std::move(args)};
}

std::vector<pid_t> read_count_file(const std::string& path) {
  std::vector<pid_t> pids;
  std::ifstream in(path);
  pid_t pid = 0;
  while (in >> pid)
    pids.push_back(pid);
  return pids;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "brask-test-XXXXXX").string();
  if (::mkdtemp(pattern.data())) {
    path_ = pattern;
  } else {
    ADD_FAILURE() << "cannot make a temporary folder: " << std::strerror(errno);
  }
}

TempDir::~TempDir() {
  if (path_.empty())
    return;
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

NoLeaksTest::NoLeaksTest() {
  ::signal(SIGPIPE, SIG_IGN);
  fds_before_ = open_fds();
}

void NoLeaksTest::TearDown() {
  EXPECT_EQ(wait_for_fds_closed(fds_before_), std::vector<int>()) << "descriptors left open";
  EXPECT_FALSE(has_children()) << "a child process left unreaped";
}

}  // namespace brask::testing
