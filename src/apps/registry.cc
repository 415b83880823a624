#include "apps/registry.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <variant>
#include <vector>

#include "base/mutex.h"
#include "base/os_error.h"
#include "base/out_of_memory.h"
#include "base/unique_fd.h"
#include "text/text.h"

namespace brask {
namespace {

// The variable's value when it is set and not empty.
std::optional<std::string_view> env_value(const char* name) {
  const char* value = ::getenv(name);
  if (value == nullptr || *value == '\0')
    return std::nullopt;
  return std::string_view(value);
}

std::optional<std::string> home_folder() {
  if (auto home = env_value("HOME"))
    return std::string(*home);
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 512);
  passwd entry;
  passwd* found = nullptr;
  // One fixed buffer: an entry that does not fit counts as no home folder.
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
    return std::nullopt;
  }
  return std::string(found->pw_dir);
}

std::optional<std::string> config_folder() {
  auto xdg = env_value("XDG_CONFIG_HOME");
  if (xdg && xdg->front() == '/')
    return std::string(*xdg);
  if (auto home = home_folder())
    return join_path(*home, ".config");
  return std::nullopt;
}

// Errors that say the gateway is short of descriptors or memory, or was interrupted
// more often than it retries: none of them says anything about the file.
bool is_own_shortage(int err) {
  return err == EMFILE || err == ENFILE || err == ENOMEM || err == EINTR;
}

constexpr int EINTR_RETRIES = 3;

// Runs `call` (0 or -1 with errno, like a system call) again while it is interrupted, a
// few times. Returns 0 or the errno of the last attempt.
template <class Call>
int retry_on_eintr(Call call) {
  int err = 0;
  for (int attempt = 0; attempt < EINTR_RETRIES; ++attempt) {
    if (call() == 0)
      return 0;
    err = errno;
    if (err != EINTR)
      break;
  }
  return err;
}

AppsFileResult failed(std::string message) {
  return AppsFileResult{AppsFileResult::Kind::Failed, std::move(message), {}};
}

// Reads the whole of the open file into a buffer sized from `expected`, the size the
// metadata gave. The file may have changed since: the read still stops past
// MAX_APPS_FILE_BYTES. A short read that brings exactly the promised size is taken as
// the end, so an unchanged file takes one read. Failure: the system error of the read,
// whose number goes to `*error`.
Result<std::string> read_file(int fd, size_t expected, int* error) {
  std::string bytes(expected + 1, '\0');
  size_t used = 0;
  for (;;) {
    if (used == bytes.size()) {
      if (bytes.size() > MAX_APPS_FILE_BYTES)
        break;
      bytes.resize(std::min<size_t>(bytes.size() * 2, MAX_APPS_FILE_BYTES + 1));
    }
    ssize_t n = read_retry(fd, bytes.data() + used, bytes.size() - used);
    if (n < 0) {
      *error = errno;
      return fail(os_error_text(errno));
    }
    if (n == 0)
      break;
    used += static_cast<size_t>(n);
    // Files of /proc report no size and come in pieces; those are read to their end.
    if (expected > 0 && used == expected)
      break;
  }
  bytes.resize(used);
  return bytes;
}

}  // namespace

std::string join_path(std::string_view path, std::string_view component) {
  std::string joined(path);
  if (joined.empty() || joined.back() != '/')
    joined += '/';
  joined += component;
  return joined;
}

std::optional<std::string> apps_folder() {
  if (auto dir = env_value("BRASK_MCP_DIR"))
    return std::string(*dir);
  auto config = config_folder();
  if (!config)
    return std::nullopt;
  return join_path(join_path(*config, "Velmora"), "mcp");
}

namespace {

// The bytes of the apps file at `path`, or why there are none (Absent or Failed).
std::variant<std::string, AppsFileResult> read_apps_file(const std::string& path) {
  auto shown = [&path] { return lossy_utf8(path) + ": "; };
  // A failure that lies in the gateway itself is not the launcher's answer.
  auto failed_with = [&](int err) {
    if (is_own_shortage(err))
      return AppsFileResult{AppsFileResult::Kind::Unreadable,
                            "the gateway could not read apps.json: " + os_error_text(err),
                            {}};
    return failed(shown() + os_error_text(err));
  };
  // The metadata decides before anything is opened, so a pipe or a device in the
  // file's place is never opened.
  struct stat meta;
  if (int err = retry_on_eintr([&] { return ::stat(path.c_str(), &meta); }); err != 0) {
    if (err == ENOENT)
      return AppsFileResult{AppsFileResult::Kind::Absent, {}, {}};
    return failed_with(err);
  }
  if (!S_ISREG(meta.st_mode))
    return failed(shown() + "not a regular file");
  const auto limit_text = [&] {
    return shown() + "larger than " + std::to_string(MAX_APPS_FILE_BYTES) + " bytes";
  };
  if (static_cast<uint64_t>(meta.st_size) > MAX_APPS_FILE_BYTES)
    return failed(limit_text());
  // O_NONBLOCK: whatever replaced the file since the stat must not block the request.
  UniqueFd fd;
  if (int err = retry_on_eintr([&] {
        fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        return fd.valid() ? 0 : -1;
      });
      err != 0) {
    return failed_with(err);
  }
  int read_error = 0;
  auto bytes = read_file(fd.get(), static_cast<size_t>(meta.st_size), &read_error);
  if (!bytes.ok())
    return failed_with(read_error);
  if (bytes->size() > MAX_APPS_FILE_BYTES)
    return failed(limit_text());
  return std::move(bytes).take();
}

}  // namespace

AppsFileResult load_apps_file(std::string_view folder) {
  auto read = read_apps_file(join_path(folder, "apps.json"));
  if (AppsFileResult* refused = std::get_if<AppsFileResult>(&read))
    return std::move(*refused);
  auto registry = parse_apps_file(std::get<std::string>(read));
  if (!registry.ok())
    return failed(registry.error());
  return AppsFileResult{AppsFileResult::Kind::Loaded, {}, std::move(registry).take()};
}

AppRegistry load_registry() {
  auto folder = apps_folder();
  if (!folder)
    return AppRegistry{{}, {std::string(NO_CONFIG_FOLDER_MESSAGE)}};
  AppsFileResult file = load_apps_file(*folder);
  switch (file.kind) {
    case AppsFileResult::Kind::Absent:
      return AppRegistry{{}, {std::string(AGENTS_OFF_MESSAGE)}};
    case AppsFileResult::Kind::Failed:
    case AppsFileResult::Kind::Unreadable:
      return AppRegistry{{}, {std::move(file.message)}};
    case AppsFileResult::Kind::Loaded:
      break;
  }
  return std::move(file.registry);
}

bool AgentsSwitch::holds(const std::string& path, const std::string& bytes) {
  std::shared_ptr<const LoadedFile> loaded;
  {
    MutexLock lock(mutex_);
    loaded = loaded_;
  }
  return loaded && loaded->path == path && loaded->bytes == bytes;
}

void AgentsSwitch::remember(std::string path, std::string bytes) {
  auto loaded = std::make_shared<const LoadedFile>(LoadedFile{std::move(path), std::move(bytes)});
  MutexLock lock(mutex_);
  loaded_.swap(loaded);
  // The file replaced, if this was its last holder, is freed outside the lock.
}

// enabled, short of the memory check.
Result<bool> AgentsSwitch::read_switch() {
  auto folder = apps_folder();
  if (!folder)
    return false;
  std::string path = join_path(*folder, "apps.json");
  auto read = read_apps_file(path);
  std::string* bytes = std::get_if<std::string>(&read);
  if (!bytes) {
    AppsFileResult& refused = std::get<AppsFileResult>(read);
    if (refused.kind == AppsFileResult::Kind::Unreadable)
      return fail(std::move(refused.message));
    return false;
  }
  if (holds(path, *bytes))
    return true;
  if (!parse_apps_file(*bytes).ok())
    return false;
  remember(std::move(path), std::move(*bytes));
  return true;
}

Result<bool> AgentsSwitch::enabled() {
  std::optional<Result<bool>> answer;
  // Memory short is the gateway's own trouble too, not the user's switch.
  if (runs_out_of_memory([&] { answer = read_switch(); }))
    return fail("the gateway could not read apps.json: " + os_error_text(ENOMEM));
  return std::move(*answer);
}

}  // namespace brask
