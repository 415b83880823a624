// app_session.h: runs bin/brask-sample-app as a child over two pipes and speaks
// newline-delimited JSON-RPC with it, for the sample app tests. Every wait has a
// generous deadline so a hung app fails the test instead of blocking it.
#pragma once

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "base/unique_fd.h"
#include "json/json.h"
#include "json/parse.h"
#include "json/render.h"
#include "support/paths.h"

extern char** environ;

namespace brask::testing {

constexpr std::chrono::seconds APP_DEADLINE{30};

class AppSession {
 public:
  // Starts the sample app with `args` (e.g. {"lumeno"}). Check `error()` afterwards.
  explicit AppSession(std::vector<std::string> args) {
    auto to_app = make_pipe();
    auto from_app = make_pipe();
    if (!to_app.ok() || !from_app.ok()) {
      error_ = "pipes failed";
      return;
    }
    std::vector<std::string> argv_text = {program_path("brask-sample-app")};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_app->read_end.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, from_app->write_end.get(), 1);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      error_ = "spawn failed: " + os_error_text(rc);
      pid_ = -1;
      return;
    }
    in_ = std::move(to_app->write_end);
    out_ = std::move(from_app->read_end);
  }

  ~AppSession() {
    in_.reset();
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      int status;
      waitpid(pid_, &status, 0);
    }
  }

  const std::string& error() const { return error_; }

  Result<void> send_raw(const std::string& bytes) {
    return write_all(in_.get(), bytes.data(), bytes.size());
  }
  Result<void> send_line(const std::string& line) { return send_raw(line + "\n"); }

  // Closes the app's input, as a client does when it goes away.
  void close_input() { in_.reset(); }

  // The next line the app writes, or a failure at end of output or after the deadline.
  Result<std::string> read_line() {
    auto deadline = std::chrono::steady_clock::now() + APP_DEADLINE;
    for (;;) {
      size_t newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        return fail("no line from the app in time");
      pollfd p{out_.get(), POLLIN, 0};
      int ready = poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno != EINTR)
        return fail(os_error_text(errno));
      if (ready <= 0)
        continue;
      char chunk[65536];
      ssize_t n = read_retry(out_.get(), chunk, sizeof chunk);
      if (n <= 0)
        return fail("the app closed its output");
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  Result<JsonValue> read_message() {
    auto line = read_line();
    if (!line.ok())
      return line.failure();
    return parse_json(*line);
  }

  // Sends a request with the next id and returns the whole response object.
  Result<JsonValue> request(const std::string& method, JsonValue params = JsonObject{}) {
    JsonObject message{{"id", next_id_++}, {"jsonrpc", "2.0"}, {"method", method}};
    if (!params.is_null())
      message.set("params", std::move(params));
    auto sent = send_line(render_compact(message));
    if (!sent.ok())
      return sent.failure();
    return read_message();
  }

  // tools/call; the result object ("content", maybe "isError"), or the JSON-RPC error text.
  Result<JsonValue> call(const std::string& tool, JsonValue arguments = JsonObject{}) {
    auto response =
        request("tools/call", JsonObject{{"arguments", std::move(arguments)}, {"name", tool}});
    if (!response.ok())
      return response.failure();
    if (const JsonValue* error = response->find("error"))
      return fail(render_compact(*error));
    const JsonValue* result = response->find("result");
    if (!result)
      return fail("no result in " + render_compact(*response));
    return *result;
  }

  // Closes the app's input and waits for it to exit; its exit status, or -1.
  int finish() {
    in_.reset();
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_)
      return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  UniqueFd in_, out_;
  std::string buffer_;
  std::string error_;
  unsigned next_id_ = 1;
};

// The text of a tool result's first content item ("" when it has none).
inline std::string result_text(const JsonValue& result) {
  const JsonValue* content = result.find("content");
  if (!content || !content->as_array() || content->as_array()->empty())
    return "";
  const JsonValue* text = (*content->as_array())[0].find("text");
  return std::string(text && text->as_string() ? *text->as_string() : "");
}

inline bool is_error_result(const JsonValue& result) {
  const JsonValue* e = result.find("isError");
  return e && e->as_bool() && *e->as_bool();
}

}  // namespace brask::testing
