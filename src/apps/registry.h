// registry.h: where apps.json lives, reading it with its safety checks, the start-up
// registry and the agents switch that follows the file. Reads the environment and the
// file system only; never writes either. Every function is safe from any thread as
// long as nobody changes the environment meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "apps/apps_file.h"
#include "base/mutex.h"
#include "base/result.h"

namespace brask {

inline constexpr uint64_t MAX_APPS_FILE_BYTES = 1 << 20;

// The answer to every gateway tool while the file is missing or broken (U+203A between
// the menu steps).
inline constexpr std::string_view AGENTS_OFF_MESSAGE =
    "AI agents are turned off for the Brask apps. Turn on Velmora Launcher \u203a Settings "
    "\u203a AI agents \u203a Let AI agents use Brask apps, then try again.";
inline constexpr std::string_view NO_CONFIG_FOLDER_MESSAGE = "no per-user configuration folder";

// The folder of apps.json, as raw bytes: BRASK_MCP_DIR, else the configuration folder
// (an absolute XDG_CONFIG_HOME, else HOME/.config, else the user database's home
// folder/.config) joined with Velmora/mcp. nullopt when none of them gives a folder.
std::optional<std::string> apps_folder();

// `path` + "/" + `component`, without doubling a trailing slash.
std::string join_path(std::string_view path, std::string_view component);

struct AppsFileResult {
  // Unreadable: the gateway itself is short of descriptors or memory (or kept being
  // interrupted); says nothing about the file, so it does not turn agents off.
  enum class Kind { Absent, Failed, Unreadable, Loaded };
  Kind kind;
  // Failed: "{path}: ..." or the file's parse failure. Unreadable: "the gateway could
  // not read apps.json: {error}".
  std::string message;
  AppRegistry registry;  // Loaded
};

// Reads `folder`/apps.json, deciding from its metadata before opening it. Absent when
// it does not exist (a dangling link included); Unreadable on EMFILE, ENFILE, ENOMEM
// or EINTR after a few retries; Failed with "{path}: {error}", "{path}: not a regular file",
// "{path}: larger than {MAX_APPS_FILE_BYTES} bytes" or parse_apps_file's failure; the path's bytes
// that are not UTF-8 are shown as U+FFFD.
AppsFileResult load_apps_file(std::string_view folder);

// The start-up registry; never fails. Without a folder, or when the file is absent or
// refused, no apps and exactly one warning saying why.
AppRegistry load_registry();

// The agents switch, built at start-up and owned by the gateway's agents check. Remembers
// the last apps file that loaded (path and bytes): parsing is pure, so the same bytes at
// the same path load again, and the check, made three times per call, parses only a file
// that changed. Request threads call it, several at once.
class AgentsSwitch {
 public:
  AgentsSwitch() = default;
  AgentsSwitch(const AgentsSwitch&) = delete;
  AgentsSwitch& operator=(const AgentsSwitch&) = delete;

  // True only while apps.json loads, whatever it holds. Reads the environment and the
  // file afresh on every call: the launcher turns agents on and off by writing the file.
  // Failure (the file is Unreadable, or memory runs short): "the gateway could not read
  // apps.json: {error}".
  Result<bool> enabled() EXCLUDES(mutex_);

 private:
  struct LoadedFile {
    std::string path;
    std::string bytes;
  };
  Result<bool> read_switch() EXCLUDES(mutex_);
  bool holds(const std::string& path, const std::string& bytes) EXCLUDES(mutex_);
  void remember(std::string path, std::string bytes) EXCLUDES(mutex_);

  // Guards the reference only; the bytes, up to MAX_APPS_FILE_BYTES, are compared
  // outside it.
  Mutex mutex_;
  std::shared_ptr<const LoadedFile> loaded_ GUARDED_BY(mutex_);
};

}  // namespace brask
