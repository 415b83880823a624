// session.h: a gateway process serving a temporary apps folder of fake-app servers,
// driven as an agent would: requests as JSON lines, answers matched by id. Shared by
// the end-to-end hardening tests; one thread per session.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "json/json.h"
#include "json/parse.h"
#include "json/render.h"
#include "support/paths.h"
#include "support/process.h"
#include "support/resources.h"

namespace brask::testing {

// An apps.json entry that runs fake-app (or `command`).
struct FakeAppEntry {
  FakeAppEntry(std::string id_, std::vector<std::string> args_ = {}, std::string command_ = {})
      : id(std::move(id_)), args(std::move(args_)), command(std::move(command_)) {}
  std::string id;
  std::vector<std::string> args;  // fake-app options; a count file is added
  std::string command;            // empty: bin/fake-app
};

class GatewaySession {
 public:
  // `launcher`, when given, is a bash script run first in the process that then execs
  // the gateway, as a script that starts it would.
  explicit GatewaySession(const std::vector<FakeAppEntry>& apps, ProcessOptions options = {},
                          const std::string& launcher = "")
      : dir_(temp_.path()) {
    JsonArray entries;
    for (const FakeAppEntry& app : apps) {
      JsonArray args;
      for (const std::string& arg : app.args)
        args.emplace_back(arg);
      args.emplace_back("--count-file");
      args.emplace_back(count_file(app.id));
      entries.emplace_back(
          JsonObject{{"id", app.id},
                     {"name", app.id},
                     {"command", app.command.empty() ? program_path("fake-app") : app.command},
                     {"args", std::move(args)}});
    }
    std::ofstream(dir_ + "/apps.json")
        << render_compact(JsonObject{{"version", 1}, {"apps", std::move(entries)}});
    options.args = {"--stdio"};
    options.set_env.emplace_back("BRASK_MCP_DIR", dir_);
    std::string program = program_path("brask-ai-mcp");
    if (!launcher.empty()) {
      options.args = {"-c", launcher + "\nexec \"$0\" --stdio", program};
      program = "/bin/bash";
    }
    auto started = Process::start(program, options);
    if (started.ok())
      process_ = std::move(*started);
    EXPECT_TRUE(started.ok()) << (started.ok() ? "" : started.error());
  }

  Process& process() { return *process_; }
  const std::string& dir() const { return dir_; }
  std::string count_file(const std::string& app) const { return dir_ + "/" + app + ".pids"; }
  std::vector<pid_t> app_pids(const std::string& app) const {
    return read_count_file(count_file(app));
  }

  // Writes `input` from a thread of its own (answers may outgrow the pipe while it is
  // written), closes standard input and reads all output until the end.
  std::string send_all_and_read(const std::string& input, std::chrono::milliseconds limit,
                                bool* complete) {
    std::thread writer([&] {
      EXPECT_TRUE(process_->write_stdin(input).ok());
      process_->close_stdin();
    });
    std::string out = process_->read_stdout_to_end(limit, complete);
    writer.join();
    return out;
  }

  bool send_line(const std::string& line) { return process_->write_stdin(line + "\n").ok(); }
  bool send(const JsonValue& request) { return send_line(render_compact(request)); }

  // A brask_call_tool request; `timeout_secs` 0 leaves the default.
  static JsonValue call_request(JsonValue id, const std::string& app, const std::string& tool,
                                JsonValue arguments = JsonObject{}, int timeout_secs = 0) {
    JsonObject args{{"app", app}, {"tool", tool}, {"arguments", std::move(arguments)}};
    if (timeout_secs > 0)
      args.set("timeoutSeconds", timeout_secs);
    return JsonObject{
        {"jsonrpc", "2.0"},
        {"id", std::move(id)},
        {"method", "tools/call"},
        {"params", JsonObject{{"name", "brask_call_tool"}, {"arguments", std::move(args)}}}};
  }

  // The answer with this id, waiting up to `limit`; answers to other ids read on the
  // way are kept for later. Every output line must be one JSON object with an id.
  std::optional<JsonValue> answer(const JsonValue& id,
                                  std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const std::string key = render_compact(id);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      auto found = pending_.find(key);
      if (found != pending_.end()) {
        JsonValue value = std::move(found->second);
        pending_.erase(found);
        return value;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        return std::nullopt;
      std::optional<std::string> line = process_->read_line(left);
      if (!line)
        return std::nullopt;
      auto parsed = parse_json(*line);
      EXPECT_TRUE(parsed.ok()) << "garbled output line: " << line->substr(0, 200);
      if (!parsed.ok())
        continue;
      const JsonValue* got = parsed->find("id");
      EXPECT_NE(got, nullptr) << *line;
      if (got == nullptr)
        continue;
      const std::string got_key = render_compact(*got);
      EXPECT_EQ(pending_.count(got_key), 0u) << "two answers for id " << got_key;
      pending_.emplace(got_key, std::move(*parsed));
    }
  }

  // Calls `tool` of `app` and returns the answer's text; `*is_error` as answered, true
  // when no answer came within the time-out and a minute more.
  std::string call(int id, const std::string& app, const std::string& tool, JsonValue arguments,
                   int timeout_secs, bool* is_error, std::chrono::milliseconds* took = nullptr) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(send(call_request(id, app, tool, std::move(arguments), timeout_secs)));
    auto response = answer(id, std::chrono::seconds(timeout_secs + 60));
    if (took != nullptr)
      *took = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start);
    if (!response) {
      *is_error = true;
      return "no answer to " + std::to_string(id);
    }
    return result_text(*response, is_error);
  }

  // The text of a tool result's first content item, and whether it is an error.
  static std::string result_text(const JsonValue& response, bool* is_error) {
    const JsonValue* result = response.find("result");
    *is_error = true;
    if (result == nullptr)
      return "no result: " + render_compact(response);
    const JsonValue* flag = result->find("isError");
    *is_error = flag != nullptr && flag->as_bool() != nullptr && *flag->as_bool();
    const JsonValue* content = result->find("content");
    if (content == nullptr || content->as_array() == nullptr || content->as_array()->empty())
      return "";
    const JsonValue* text = (*content->as_array())[0].find("text");
    return std::string(text != nullptr && text->as_string() != nullptr ? *text->as_string() : "");
  }

 private:
  TempDir temp_;  // first, so that it goes last, after the gateway
  std::string dir_;
  std::unique_ptr<Process> process_;
  std::map<std::string, JsonValue> pending_;  // answers read ahead, by compact id
};

}  // namespace brask::testing
