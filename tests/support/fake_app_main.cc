// fake_app_main.cc: `fake-app`, a scriptable MCP server for tests and benchmarks. It
// reads newline-delimited JSON-RPC on standard input and answers on standard output;
// its command-line options pick the behaviour.
//
// Options (any order):
//   --tools N              N generated tools "tool-0".."tool-{N-1}" after the built-in
//                          ones (default 0)
//   --pages P              split the catalogue over P pages (default 1); the cursor of
//                          page i is "p{i}"; pages may be empty
//   --empty-cursor         page 1's cursor is "" instead of "p1" ("" is accepted for it)
//   --bad-entries          page 0 also lists 42, {"description":"no name"} and {"name":7}
//   --changed-after-call K after answering the K-th tools/call, add a tool "added-{K}"
//                          and send notifications/tools/list_changed
//   --count-file PATH      append "{pid}\n" to PATH at start (counts started processes)
//   --extra-tool NAME      also list a tool NAME, answered like echo (repeatable)
//   --list-delay-ms N      wait N milliseconds before answering each tools/list
//   --exit-at-once         exit before reading anything
//   --no-initialize        read requests but never answer "initialize"
//   --exit-after-ms N      exit with status 4 after N milliseconds, whatever it is doing
//   --init-error JSON      answer "initialize" with "error": JSON (any value)
//   --no-read              never read standard input (block until killed)
//   --log-lines            print a non-JSON log line before every answer
//   --crlf                 end every line with "\r\n"
//   --stderr               write text to standard error at start and per request
//   --hostile              also list the misbehaving tools below
//   --traced PATH          at start, a helper of its own session attaches to it with
//                          PTRACE_SEIZE, writes "{pid}\n" to PATH and lives 60 s without
//                          ever waiting for it: once killed, the app cannot be reaped
//   --endless-list N       answer every tools/list with N tools of about 215 bytes and
//                          the same "nextCursor"
//
// Misbehaving tools (listed only with --hostile):
//   crash      exits with status 3 without answering
//   flood      {"count": N, "bytes": B, "later": bool, "progress": PATH}: sends N
//              notifications (with B bytes of data each, when given) before answering
//              like echo, or after it when "later" is true; appends a line to PATH after
//              each one
//   ping-burst {"count": N}: writes N ping requests in one write, reads every reply,
//              then answers like echo
//   garbage    writes junk, invalid UTF-8 and half messages first, then answers
//   wrong-id   answers with ids that are not the request's, never with its own
//   grandchild {"ms": N}: forks a process that keeps both pipes open for N ms
//              (default 60000), then answers with structuredContent {"pid": its pid}
// Built-in tools (tools/call "name"; "arguments" as described):
//   echo    result {"content":[{"text":"echo","type":"text"}],"structuredContent":arguments}
//   sleep   {"ms": N}: sleeps N milliseconds, then answers like echo
//   info    {"env": NAME, "signals": any}: structuredContent {"argv":[...],"cwd":...,
//           "env":value or null}, and with "signals" also "ignored":[the numbers of the
//           signals it ignores]
//   fds     structuredContent {"fds":[open descriptor numbers]}
//   ask     {"method": M, "id": ID}: sends the gateway a request M with id ID, waits for
//           the reply with that id and returns it as structuredContent {"reply": ...}
//   respond {"response": {...}, "id_as": "string"|"double"}: writes the given members
//           as the response (e.g. {"error":null}), with the id as given or rewritten
//   huge    {"bytes": N, "json": bool, "numbers": bool}: first writes one line of about
//           N bytes (a JSON string when "json" is true, an array of zeros when
//           "numbers" is, else junk), then answers like echo
//   deaf    {"pings": N, "id_bytes": B}: answers, sends N ping requests (with ids of
//           B bytes, when given), then never reads standard input again
//   raw     {"line": TEXT}: writes TEXT, with "ID" replaced by the request's id, as the
//           answer's line (listed only when named by --extra-tool raw)
//   quit    answers, then exits with status 0
// Unknown methods and tools are answered with errors; notifications are ignored.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "json/json.h"
#include "json/parse.h"
#include "json/render.h"

namespace brask {
namespace {

struct Options {
  int tools = 0;
  int pages = 1;
  bool empty_cursor = false;
  bool bad_entries = false;
  int changed_after_call = -1;
  std::string count_file;
  std::vector<std::string> extra_tools;
  int list_delay_ms = 0;
  bool hostile = false;
  bool exit_at_once = false;
  bool no_initialize = false;
  int exit_after_ms = -1;
  std::optional<JsonValue> init_error;
  bool no_read = false;
  bool log_lines = false;
  bool crlf = false;
  bool to_stderr = false;
  std::string traced;  // the tracer's pid file
  int endless_list = -1;
};

[[noreturn]] void usage(const std::string& why) {
  std::string text = "fake-app: " + why + "\n";
  (void)write_all(2, text.data(), text.size());
  ::_exit(2);
}

int to_int(const std::string& s) {
  int value = 0;
  auto [end, err] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (err != std::errc() || end != s.data() + s.size())
    usage("not a number: " + s);
  return value;
}

Options parse_options(int argc, char** argv) {
  Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size())
        usage("missing value for " + a);
      return args[++i];
    };
    if (a == "--tools") {
      o.tools = to_int(value());
    } else if (a == "--pages") {
      o.pages = to_int(value());
    } else if (a == "--empty-cursor") {
      o.empty_cursor = true;
    } else if (a == "--bad-entries") {
      o.bad_entries = true;
    } else if (a == "--changed-after-call") {
      o.changed_after_call = to_int(value());
    } else if (a == "--count-file") {
      o.count_file = value();
    } else if (a == "--extra-tool") {
      o.extra_tools.push_back(value());
    } else if (a == "--list-delay-ms") {
      o.list_delay_ms = to_int(value());
    } else if (a == "--exit-at-once") {
      o.exit_at_once = true;
    } else if (a == "--no-initialize") {
      o.no_initialize = true;
    } else if (a == "--exit-after-ms") {
      o.exit_after_ms = to_int(value());
    } else if (a == "--init-error") {
      auto parsed = parse_json(value());
      if (!parsed.ok())
        usage("--init-error: " + parsed.error());
      o.init_error = std::move(parsed).take();
    } else if (a == "--no-read") {
      o.no_read = true;
    } else if (a == "--log-lines") {
      o.log_lines = true;
    } else if (a == "--crlf") {
      o.crlf = true;
    } else if (a == "--traced") {
      o.traced = value();
    } else if (a == "--endless-list") {
      o.endless_list = to_int(value());
    } else if (a == "--hostile") {
      o.hostile = true;
    } else if (a == "--stderr") {
      o.to_stderr = true;
    } else if (a == "mcp") {
      // the default argument an apps entry gets; nothing to do
    } else {
      usage("unknown option " + a);
    }
  }
  if (o.pages < 1)
    usage("--pages must be at least 1");
  return o;
}

class FakeApp {
 public:
  FakeApp(Options options, std::vector<std::string> argv)
      : o_(std::move(options)), argv_(std::move(argv)) {}

  int run() {
    if (!o_.count_file.empty()) {
      UniqueFd f(::open(o_.count_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
      std::string line = std::to_string(::getpid()) + "\n";
      if (f.valid())
        (void)write_all(f.get(), line.data(), line.size());
    }
    if (o_.to_stderr)
      say_stderr("fake-app starting\n");
    if (!o_.traced.empty())
      get_traced();
    if (o_.exit_at_once)
      return 0;
    if (o_.exit_after_ms >= 0) {
      std::thread([ms = o_.exit_after_ms] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        ::_exit(4);
      }).detach();
    }
    if (o_.no_read)
      block_forever();
    std::string line;
    while (read_line(&line)) {
      auto message = parse_json(line);
      if (!message.ok())
        continue;
      handle(*message);
    }
    return 0;
  }

 private:
  [[noreturn]] static void block_forever() {
    for (;;)
      ::pause();
  }

  // Returns once the tracer holds this process.
  void get_traced() {
    ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    int ready[2];
    if (::pipe(ready) != 0)
      usage("--traced: no pipe");
    const pid_t self = ::getpid();
    if (::fork() == 0) {
      ::setsid();
      if (::ptrace(PTRACE_SEIZE, self, nullptr, nullptr) != 0)
        ::_exit(1);
      std::string line = std::to_string(::getpid()) + "\n";
      UniqueFd f(::open(o_.traced.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
      if (f.valid())
        (void)write_all(f.get(), line.data(), line.size());
      (void)!::write(ready[1], "x", 1);
      // Signals stop the tracee for good: they are never waited for.
      std::this_thread::sleep_for(std::chrono::seconds(60));
      ::_exit(0);
    }
    ::close(ready[1]);
    char byte;
    if (read_retry(ready[0], &byte, 1) != 1)
      usage("--traced: the tracer did not attach");
    ::close(ready[0]);
  }

  static void say_stderr(std::string_view text) { (void)write_all(2, text.data(), text.size()); }

  bool read_line(std::string* line) {
    line->clear();
    for (;;) {
      size_t newline = pending_.find('\n', scanned_);
      if (newline != std::string::npos) {
        line->assign(pending_, 0, newline);
        pending_.erase(0, newline + 1);
        scanned_ = 0;
        return true;
      }
      scanned_ = pending_.size();
      char buffer[65536];
      ssize_t n = read_retry(0, buffer, sizeof buffer);
      if (n <= 0)
        return false;
      pending_.append(buffer, static_cast<size_t>(n));
    }
  }

  void send(const JsonValue& message) {
    std::string text;
    if (o_.log_lines)
      text += "log: fake-app is answering\n";
    render_compact(message, &text);
    text += o_.crlf ? "\r\n" : "\n";
    if (!write_all(1, text.data(), text.size()).ok())
      ::_exit(1);
  }

  void answer(const JsonValue& id, JsonValue result) {
    send(JsonObject{{"id", id}, {"jsonrpc", "2.0"}, {"result", std::move(result)}});
  }

  void answer_error(const JsonValue& id, int code, std::string message) {
    send(JsonObject{{"error", JsonObject{{"code", code}, {"message", std::move(message)}}},
                    {"id", id},
                    {"jsonrpc", "2.0"}});
  }

  std::vector<JsonValue> catalogue() const {
    std::vector<JsonValue> tools;
    for (const char* name :
         {"echo", "sleep", "info", "fds", "ask", "respond", "huge", "deaf", "quit"}) {
      tools.push_back(JsonObject{{"description", std::string("Built-in tool ") + name},
                                 {"inputSchema", JsonObject{{"type", "object"}}},
                                 {"name", name}});
    }
    for (int i = 0; i < o_.tools; ++i) {
      tools.push_back(JsonObject{{"description", "Generated tool " + std::to_string(i)},
                                 {"inputSchema", JsonObject{{"type", "object"}}},
                                 {"name", "tool-" + std::to_string(i)}});
    }
    for (const char* name : {"crash", "flood", "garbage", "wrong-id", "grandchild", "ping-burst"}) {
      if (!o_.hostile)
        break;
      tools.push_back(JsonObject{{"inputSchema", JsonObject{{"type", "object"}}}, {"name", name}});
    }
    for (const std::string& name : o_.extra_tools) {
      tools.push_back(JsonObject{{"description", "Extra tool " + name},
                                 {"inputSchema", JsonObject{{"type", "object"}}},
                                 {"name", name}});
    }
    for (const std::string& name : added_) {
      tools.push_back(JsonObject{{"inputSchema", JsonObject{{"type", "object"}}}, {"name", name}});
    }
    return tools;
  }

  std::string cursor_of(int page) const {
    if (page == 1 && o_.empty_cursor)
      return "";
    return "p" + std::to_string(page);
  }

  void list_tools(const JsonValue& id, const JsonValue* params) {
    std::this_thread::sleep_for(std::chrono::milliseconds(o_.list_delay_ms));
    if (o_.endless_list >= 0) {
      JsonArray items;
      for (int i = 0; i < o_.endless_list; ++i)
        items.push_back(JsonObject{{"description", std::string(150, 'd')},
                                   {"inputSchema", JsonObject{{"type", "object"}}},
                                   {"name", "t" + std::to_string(i)}});
      return answer(id, JsonObject{{"nextCursor", "again"}, {"tools", std::move(items)}});
    }
    int page = 0;
    if (const JsonValue* cursor = params ? params->find("cursor") : nullptr) {
      auto c = cursor->as_string();
      page = -1;
      for (int i = 1; c && i < o_.pages; ++i) {
        if (*c == cursor_of(i))
          page = i;
      }
      if (page < 0)
        return answer_error(id, -32602, "bad cursor");
    }
    std::vector<JsonValue> all = catalogue();
    size_t per_page = (all.size() + o_.pages - 1) / o_.pages;
    JsonArray items;
    for (size_t i = page * per_page; i < all.size() && i < (page + 1) * per_page; ++i) {
      items.push_back(all[i]);
    }
    if (page == 0 && o_.bad_entries) {
      items.push_back(JsonValue(42));
      items.push_back(JsonObject{{"description", "no name"}});
      items.push_back(JsonObject{{"name", 7}});
    }
    JsonObject result{{"tools", std::move(items)}};
    if (page + 1 < o_.pages)
      result.set("nextCursor", cursor_of(page + 1));
    answer(id, std::move(result));
  }

  static JsonValue echo_result(JsonValue structured) {
    return JsonObject{{"content", JsonArray{JsonObject{{"text", "echo"}, {"type", "text"}}}},
                      {"structuredContent", std::move(structured)}};
  }

  static long number(const JsonValue* v, long fallback) {
    if (v && v->as_unsigned())
      return static_cast<long>(*v->as_unsigned());
    return fallback;
  }

  void call_tool(const JsonValue& id, const JsonValue* params) {
    const JsonValue* name_value = params ? params->find("name") : nullptr;
    auto name = name_value ? name_value->as_string() : nullptr;
    JsonValue arguments;
    if (const JsonValue* a = params ? params->find("arguments") : nullptr)
      arguments = *a;
    ++calls_;
    if (!name)
      return answer_error(id, -32602, "missing tool name");
    // `raw` is listed only as an extra tool, and then does what its name says.
    const bool extra = *name != "raw" && std::find(o_.extra_tools.begin(), o_.extra_tools.end(),
                                                   *name) != o_.extra_tools.end();
    if (*name == "echo" || extra) {
      answer(id, echo_result(std::move(arguments)));
    } else if (*name == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(number(arguments.find("ms"), 0)));
      answer(id, echo_result(std::move(arguments)));
    } else if (*name == "info") {
      JsonArray argv;
      for (const std::string& a : argv_)
        argv.push_back(a);
      char cwd[4096];
      JsonValue env;
      const JsonValue* env_name = arguments.find("env");
      if (env_name && env_name->as_string()) {
        if (const char* v = ::getenv(std::string(*env_name->as_string()).c_str()))
          env = std::string(v);
      }
      JsonObject info{{"argv", std::move(argv)},
                      {"cwd", ::getcwd(cwd, sizeof cwd) ? cwd : ""},
                      {"env", std::move(env)}};
      if (arguments.find("signals"))
        info.set("ignored", ignored_signals());
      answer(id, echo_result(std::move(info)));
    } else if (*name == "fds") {
      answer(id, echo_result(JsonObject{{"fds", open_fds()}}));
    } else if (*name == "ask") {
      ask(id, arguments);
    } else if (*name == "respond") {
      respond(id, arguments);
    } else if (*name == "huge") {
      long bytes = number(arguments.find("bytes"), 0);
      const JsonValue* json = arguments.find("json");
      std::string line;
      const JsonValue* numbers = arguments.find("numbers");
      if (json && json->as_bool() && *json->as_bool() && bytes >= 2) {
        line = "\"" + std::string(static_cast<size_t>(bytes - 2), 'a') + "\"";
      } else if (numbers && numbers->as_bool() && *numbers->as_bool() && bytes >= 3) {
        line.reserve(static_cast<size_t>(bytes));
        line = "[0";
        while (line.size() + 3 <= static_cast<size_t>(bytes))
          line += ",0";
        line += ']';
      } else {
        line.assign(static_cast<size_t>(bytes), 'x');
      }
      line += '\n';
      if (!write_all(1, line.data(), line.size()).ok())
        ::_exit(1);
      answer(id, echo_result(JsonValue()));
    } else if (*name == "deaf") {
      answer(id, echo_result(JsonValue()));
      const long id_bytes = number(arguments.find("id_bytes"), 0);
      for (long i = number(arguments.find("pings"), 0); i > 0; --i) {
        JsonValue ping_id = id_bytes > 0
                                ? JsonValue(std::string(static_cast<size_t>(id_bytes), 'p'))
                                : JsonValue(static_cast<long long>(i));
        send(JsonObject{{"id", std::move(ping_id)}, {"jsonrpc", "2.0"}, {"method", "ping"}});
      }
      block_forever();
    } else if (*name == "raw") {
      const JsonValue* text = arguments.find("line");
      std::string line(text && text->as_string() ? *text->as_string() : "");
      const size_t at = line.find("ID");
      if (at != std::string::npos)
        line.replace(at, 2, render_compact(id));
      line += '\n';
      if (!write_all(1, line.data(), line.size()).ok())
        ::_exit(1);
    } else if (*name == "quit") {
      answer(id, echo_result(JsonValue()));
      ::_exit(0);
    } else if (o_.hostile && misbehave(*name, id, arguments)) {
    } else {
      answer_error(id, -32602, "unknown tool " + std::string(*name));
    }
    if (calls_ == o_.changed_after_call) {
      added_.push_back("added-" + std::to_string(calls_));
      send(JsonObject{{"jsonrpc", "2.0"}, {"method", "notifications/tools/list_changed"}});
    }
  }

  // The --hostile tools; false for a name that is not one of them.
  bool misbehave(std::string_view name, const JsonValue& id, JsonValue& arguments) {
    if (name == "crash") {
      ::_exit(3);
    } else if (name == "flood") {
      const long count = number(arguments.find("count"), 1000);
      const long bytes = number(arguments.find("bytes"), 0);
      const JsonValue* later = arguments.find("later");
      const bool answer_first = later && later->as_bool() && *later->as_bool();
      const JsonValue* progress = arguments.find("progress");
      UniqueFd progress_file;
      if (progress && progress->as_string()) {
        progress_file.reset(::open(std::string(*progress->as_string()).c_str(),
                                   O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
      }
      if (answer_first)
        answer(id, echo_result(JsonValue()));
      for (long i = 0; i < count; ++i) {
        JsonValue data =
            bytes > 0 ? JsonValue(std::string(static_cast<size_t>(bytes), 'n')) : JsonValue(i);
        send(JsonObject{{"jsonrpc", "2.0"},
                        {"method", "notifications/message"},
                        {"params", JsonObject{{"data", std::move(data)}, {"level", "info"}}}});
        if (progress_file.valid())
          (void)write_all(progress_file.get(), "+\n", 2);
      }
      if (!answer_first)
        answer(id, echo_result(std::move(arguments)));
    } else if (name == "ping-burst") {
      const long count = number(arguments.find("count"), 80);
      std::string burst;
      for (long i = 0; i < count; ++i) {
        render_compact(
            JsonObject{
                {"id", "burst-" + std::to_string(i)}, {"jsonrpc", "2.0"}, {"method", "ping"}},
            &burst);
        burst += '\n';
      }
      if (!write_all(1, burst.data(), burst.size()).ok())
        ::_exit(1);
      std::string line;
      for (long replies = 0; replies < count && read_line(&line);) {
        auto reply = parse_json(line);
        if (reply.ok() && reply->find("result") && !reply->find("method"))
          ++replies;
      }
      answer(id, echo_result(std::move(arguments)));
    } else if (name == "garbage") {
      static const char junk[] =
          "\xff\xfe\x00garbage\n{\"jsonrpc\":\"2.0\",\"id\":\n\"\xc3\x28\"\n"
          "{\"jsonrpc\":\"2.0\",\"result\":{},\"id\":\"\xed\xa0\x80\"}\n\x1b[31m\n[1,2\n";
      if (!write_all(1, junk, sizeof junk - 1).ok())
        ::_exit(1);
      answer(id, echo_result(std::move(arguments)));
    } else if (name == "wrong-id") {
      JsonValue other = JsonValue(id.as_unsigned() ? *id.as_unsigned() + 1000 : 1000);
      answer(other, echo_result(JsonValue()));
      answer(JsonValue(render_compact(id)), echo_result(JsonValue()));
      answer(JsonValue(), echo_result(JsonValue()));
    } else if (name == "grandchild") {
      const long ms = number(arguments.find("ms"), 60000);
      pid_t pid = ::fork();
      if (pid == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        ::_exit(0);
      }
      answer(id, echo_result(JsonObject{{"pid", static_cast<long long>(pid)}}));
    } else {
      return false;
    }
    return true;
  }

  // The signals whose disposition is "ignore", from /proc/self/status.
  static JsonArray ignored_signals() {
    JsonArray ignored;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("SigIgn:", 0) != 0)
        continue;
      const std::string hex = line.substr(line.find_first_not_of(" \t", 7));
      uint64_t mask = 0;
      std::from_chars(hex.data(), hex.data() + hex.size(), mask, 16);
      for (int sig = 1; sig <= 64; ++sig) {
        if (mask & (uint64_t{1} << (sig - 1)))
          ignored.push_back(sig);
      }
    }
    return ignored;
  }

  static JsonArray open_fds() {
    std::vector<int> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
      return JsonArray();
    int own = ::dirfd(dir);
    while (dirent* e = ::readdir(dir)) {
      int fd = 0;
      std::string_view n = e->d_name;
      if (std::from_chars(n.data(), n.data() + n.size(), fd).ec != std::errc() || fd == own) {
        continue;
      }
      fds.push_back(fd);
    }
    ::closedir(dir);
    std::sort(fds.begin(), fds.end());
    return JsonArray(fds.begin(), fds.end());
  }

  void ask(const JsonValue& id, const JsonValue& arguments) {
    const JsonValue* method = arguments.find("method");
    const JsonValue* ask_id = arguments.find("id");
    JsonValue question_id = ask_id ? *ask_id : JsonValue("ask-1");
    send(JsonObject{{"id", question_id},
                    {"jsonrpc", "2.0"},
                    {"method", method ? *method : JsonValue("ping")},
                    {"params", JsonObject()}});
    std::string line;
    while (read_line(&line)) {
      auto reply = parse_json(line);
      if (!reply.ok())
        continue;
      const JsonValue* reply_id = reply->find("id");
      if (reply_id && *reply_id == question_id && !reply->find("method")) {
        return answer(id, echo_result(JsonObject{{"reply", std::move(*reply)}}));
      }
    }
    ::_exit(0);
  }

  void respond(const JsonValue& id, const JsonValue& arguments) {
    JsonObject response;
    if (const JsonValue* r = arguments.find("response"); r && r->as_object()) {
      response = JsonObject(*r->as_object());
    }
    JsonValue response_id = id;
    const JsonValue* id_as = arguments.find("id_as");
    if (id_as && id_as->as_string() && id.as_unsigned()) {
      if (*id_as->as_string() == "string")
        response_id = std::to_string(*id.as_unsigned());
      if (*id_as->as_string() == "double") {
        response_id = static_cast<double>(*id.as_unsigned());
      }
    }
    response.set("id", std::move(response_id));
    response.set("jsonrpc", "2.0");
    send(JsonValue(std::move(response)));
  }

  void handle(const JsonValue& message) {
    const JsonValue* id = message.find("id");
    const JsonValue* method_value = message.find("method");
    auto method = method_value ? method_value->as_string() : nullptr;
    if (o_.to_stderr)
      say_stderr("fake-app got a message\n");
    if (!id || !method)
      return;  // notifications and stray responses
    const JsonValue* params = message.find("params");
    if (*method == "initialize") {
      if (o_.no_initialize)
        return;
      if (o_.init_error) {
        return send(JsonObject{{"error", *o_.init_error}, {"id", *id}, {"jsonrpc", "2.0"}});
      }
      return answer(
          *id, JsonObject{{"capabilities", JsonObject{{"tools", JsonObject()}}},
                          {"protocolVersion", "2025-06-18"},
                          {"serverInfo", JsonObject{{"name", "fake-app"}, {"version", "1.0.0"}}}});
    }
    if (*method == "ping")
      return answer(*id, JsonObject());
    if (*method == "tools/list")
      return list_tools(*id, params);
    if (*method == "tools/call")
      return call_tool(*id, params);
    answer_error(*id, -32601, "unknown method " + std::string(*method));
  }

  Options o_;
  std::vector<std::string> argv_;
  std::string pending_;  // bytes read but not yet framed
  size_t scanned_ = 0;   // leading bytes of `pending_` known to hold no "\n"
  int calls_ = 0;        // tools/call requests seen
  std::vector<std::string> added_;
};

}  // namespace
}  // namespace brask

int main(int argc, char** argv) {
  brask::Options options = brask::parse_options(argc, argv);
  return brask::FakeApp(std::move(options), std::vector<std::string>(argv, argv + argc)).run();
}
