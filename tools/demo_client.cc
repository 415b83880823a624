// demo-client: plays a scripted agent session against an MCP server started as a child
// (normally `brask-ai-mcp --stdio`) and prints each step readably: a one-line
// explanation, the request, and the answer, waiting for every answer by its id.
//
// usage: demo-client [--no-pause] [--step-timeout SECONDS] SCRIPT -- COMMAND [ARG...]
//
// SCRIPT is a JSON file {"steps": [...]}; each step has "say" (the explanation) and one of
//   "request": {"method": ..., "params": ...}   sent with the next id, answer awaited
//   "notify": {"method": ..., "params": ...}    sent, nothing awaited
//   "remove_file": PATH / "restore_file": PATH  moves PATH aside and back (PATH.demo-off)
// and optionally "note" (printed after the answer) and "max_lines" (how much to show).
// Between steps it waits for Enter when standard input is a terminal.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/os_error.h"
#include "base/result.h"
#include "base/unique_fd.h"
#include "json/json.h"
#include "json/parse.h"
#include "json/render.h"

extern char** environ;

namespace brask {
namespace {

constexpr const char* USAGE =
    "usage: demo-client [--no-pause] [--step-timeout SECONDS] SCRIPT -- COMMAND [ARG...]";
constexpr int DEFAULT_STEP_TIMEOUT_SECS = 120;
constexpr int EXIT_WAIT_SECS = 10;
constexpr size_t DEFAULT_MAX_LINES = 30;
constexpr size_t MAX_LINE_WIDTH = 100;  // bytes; longer lines are wrapped for the screen
constexpr size_t READABLE_WIDTH = 96;
constexpr size_t MAX_SCRIPT_BYTES = 1 << 20;
constexpr size_t MAX_ANSWER_BYTES = 64 << 20;

using Clock = std::chrono::steady_clock;

struct Options {
  bool pause = true;
  int step_timeout_secs = DEFAULT_STEP_TIMEOUT_SECS;
  std::string script;
  std::vector<std::string> command;
};

Result<Options> parse_options(int argc, char** argv) {
  Options o;
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--no-pause") {
      o.pause = false;
    } else if (a == "--step-timeout" && i + 1 < argc) {
      std::string_view text = argv[++i];
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), o.step_timeout_secs);
      if (ec != std::errc() || end != text.data() + text.size() || o.step_timeout_secs < 1) {
        return fail("--step-timeout needs a whole number of seconds");
      }
    } else if (a == "--") {
      ++i;
      break;
    } else if (o.script.empty() && a.substr(0, 2) != "--") {
      o.script = a;
    } else {
      return fail("unknown argument `" + a + "`");
    }
  }
  for (; i < argc; ++i)
    o.command.push_back(argv[i]);
  if (o.script.empty() || o.command.empty())
    return fail("a script and a command are needed");
  return o;
}

Result<std::string> read_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid())
    return fail(path + ": " + os_error_text(errno));
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = read_retry(fd.get(), buffer, sizeof buffer);
    if (n < 0)
      return fail(path + ": " + os_error_text(errno));
    if (n == 0)
      return text;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > MAX_SCRIPT_BYTES)
      return fail(path + ": larger than 1 MiB");
  }
}

// Terminal styling, only when standard output is a terminal.
struct Style {
  bool on = false;
  std::string bold(const std::string& s) const { return on ? "\033[1m" + s + "\033[0m" : s; }
  std::string dim(const std::string& s) const { return on ? "\033[2m" + s + "\033[0m" : s; }
  std::string red(const std::string& s) const { return on ? "\033[31m" + s + "\033[0m" : s; }
};

// Splits a long line at spaces so that it fits the screen; continuation lines are indented
// two more than the line itself. A word longer than the width is cut, never mid-character.
std::vector<std::string> wrap(const std::string& line) {
  std::vector<std::string> out;
  size_t indent = line.find_first_not_of(' ');
  if (indent == std::string::npos || indent > MAX_LINE_WIDTH / 2)
    indent = 0;
  std::string rest = line;
  while (rest.size() > MAX_LINE_WIDTH) {
    size_t cut = rest.rfind(' ', MAX_LINE_WIDTH);
    if (cut == std::string::npos || cut <= indent + 2) {
      cut = MAX_LINE_WIDTH;
      while (cut > 0 && (static_cast<unsigned char>(rest[cut]) & 0xC0) == 0x80)
        --cut;
    }
    out.push_back(rest.substr(0, cut));
    size_t next = rest.find_first_not_of(' ', cut);
    rest = std::string(indent + 2, ' ') + (next == std::string::npos ? "" : rest.substr(next));
  }
  out.push_back(rest);
  return out;
}

// A copy of object `object` with member `key` set to `value`.
JsonValue with_member(const JsonValue& object, std::string_view key, JsonValue value) {
  JsonObject copy;
  if (auto members = object.as_object()) {
    for (const auto& [name, member] : *members)
      copy.set(name, member);
  }
  copy.set(key, std::move(value));
  return copy;
}

// JSON on one line with a space after each comma and colon.
std::string one_line(const JsonValue& v) {
  if (auto a = v.as_array()) {
    std::string out = "[";
    for (size_t i = 0; i < a->size(); ++i)
      out += (i ? ", " : "") + one_line((*a)[i]);
    return out + "]";
  }
  if (auto o = v.as_object()) {
    std::string out = "{";
    bool first = true;
    for (const auto& [key, member] : *o) {
      out += (first ? "" : ", ") + render_compact(JsonValue(key)) + ": " + one_line(member);
      first = false;
    }
    return out + "}";
  }
  return render_compact(v);
}

// Pretty JSON that keeps small objects and lists on one line, which reads far better than
// one member per line for people new to the protocol.
// `indent` is the current line's indentation, `lead` what already stands after it.
void render_readable(const JsonValue& v, size_t indent, size_t lead, std::string* out) {
  std::string flat = one_line(v);
  auto a = v.as_array();
  auto o = v.as_object();
  if (indent + lead + flat.size() <= READABLE_WIDTH || (!a && !o) || (a && a->empty()) ||
      (o && o->empty())) {
    *out += flat;
    return;
  }
  std::string pad(indent + 2, ' ');
  *out += a ? "[\n" : "{\n";
  size_t i = 0, count = a ? a->size() : o->size();
  auto item_end = [&] { *out += ++i < count ? ",\n" : "\n"; };
  if (a) {
    for (const JsonValue& item : *a) {
      *out += pad;
      render_readable(item, indent + 2, 0, out);
      item_end();
    }
  } else {
    for (const auto& [key, member] : *o) {
      std::string name = render_compact(JsonValue(key)) + ": ";
      *out += pad + name;
      render_readable(member, indent + 2, name.size(), out);
      item_end();
    }
  }
  *out += std::string(indent, ' ') + (a ? "]" : "}");
}

std::string readable(const JsonValue& v) {
  std::string out;
  render_readable(v, 0, 0, &out);
  return out;
}

// Prints `text` indented, at most `max_lines` lines: the first ones and a count of the rest.
void print_block(const std::string& text, size_t max_lines, const Style& style) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    for (std::string& part : wrap("    " + text.substr(start, end - start))) {
      lines.push_back(std::move(part));
    }
    start = end + 1;
  }
  size_t shown = lines.size() <= max_lines ? lines.size() : max_lines - 1;
  for (size_t i = 0; i < shown; ++i)
    std::printf("%s\n", lines[i].c_str());
  if (shown < lines.size()) {
    std::printf(
        "    %s\n",
        style.dim("… " + std::to_string(lines.size() - shown) + " more lines not shown").c_str());
  }
}

struct Gateway {
  pid_t pid = -1;
  UniqueFd in, out, err;
  std::string out_buffer, err_buffer;
  bool out_ended = false, err_ended = false;
  std::vector<std::string> operator_lines;  // standard error, printed between steps
};

Result<Gateway> start(const std::vector<std::string>& command) {
  auto in = make_pipe();
  auto out = make_pipe();
  auto err = make_pipe();
  if (!in.ok())
    return in.failure();
  if (!out.ok())
    return out.failure();
  if (!err.ok())
    return err.failure();
  std::vector<std::string> args = command;
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  if (int rc = posix_spawn_file_actions_init(&actions); rc != 0)
    return fail(os_error_text(rc));
  int rc = posix_spawn_file_actions_adddup2(&actions, in->read_end.get(), 0);
  if (rc == 0)
    rc = posix_spawn_file_actions_adddup2(&actions, out->write_end.get(), 1);
  if (rc == 0)
    rc = posix_spawn_file_actions_adddup2(&actions, err->write_end.get(), 2);
  Gateway g;
  if (rc == 0)
    rc = posix_spawnp(&g.pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0)
    return fail("could not start " + command[0] + ": " + os_error_text(rc));
  g.in = std::move(in->write_end);
  g.out = std::move(out->read_end);
  g.err = std::move(err->read_end);
  return g;
}

// Reads whatever the gateway has written, waiting at most until `deadline`. Returns false
// when nothing more can come (both outputs ended) or the deadline passed.
bool pump(Gateway& g, Clock::time_point deadline) {
  pollfd fds[2] = {{g.out_ended ? -1 : g.out.get(), POLLIN, 0},
                   {g.err_ended ? -1 : g.err.get(), POLLIN, 0}};
  if (g.out_ended && g.err_ended)
    return false;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() < 0)
    return false;
  int ready = ::poll(fds, 2, static_cast<int>(left.count()));
  if (ready < 0)
    return errno == EINTR;
  if (ready == 0)
    return false;
  char buffer[65536];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].revents == 0)
      continue;
    ssize_t n = read_retry(fds[i].fd, buffer, sizeof buffer);
    std::string& into = i == 0 ? g.out_buffer : g.err_buffer;
    if (n <= 0) {
      (i == 0 ? g.out_ended : g.err_ended) = true;
      continue;
    }
    into.append(buffer, static_cast<size_t>(n));
  }
  for (size_t nl; (nl = g.err_buffer.find('\n')) != std::string::npos;) {
    g.operator_lines.push_back(g.err_buffer.substr(0, nl));
    g.err_buffer.erase(0, nl + 1);
  }
  return true;
}

// The next message line on the gateway's standard output before `deadline`.
Result<std::string> next_line(Gateway& g, Clock::time_point deadline) {
  for (;;) {
    size_t nl = g.out_buffer.find('\n');
    if (nl != std::string::npos) {
      std::string line = g.out_buffer.substr(0, nl);
      g.out_buffer.erase(0, nl + 1);
      return line;
    }
    if (g.out_buffer.size() > MAX_ANSWER_BYTES)
      return fail("the gateway sent a line over 64 MiB");
    if (g.out_ended)
      return fail("the gateway closed its standard output");
    if (!pump(g, deadline)) {
      if (g.out_ended)
        return fail("the gateway closed its standard output");
      if (Clock::now() >= deadline)
        return fail("no answer in time");
    }
  }
}

void print_operator_lines(Gateway& g, const Style& style) {
  for (const std::string& line : g.operator_lines) {
    std::printf("  %s\n",
                style.dim("the gateway wrote to standard error (an operator message):").c_str());
    for (const std::string& part : wrap("    " + line))
      std::printf("%s\n", part.c_str());
  }
  g.operator_lines.clear();
}

// A tools/call answer shows the tool's text apart from the JSON-RPC envelope, because that
// text is what an agent reads.
void print_answer(const JsonValue& answer, size_t max_lines, double seconds, const Style& style) {
  char took[32];
  std::snprintf(took, sizeof took, "%.1f s", seconds);
  const JsonValue* result = answer.find("result");
  const JsonValue* content = result ? result->find("content") : nullptr;
  bool tool_text = content && content->as_array() && content->as_array()->size() == 1 &&
                   (*content->as_array())[0].find("text") &&
                   (*content->as_array())[0].find("text")->as_string();
  if (!tool_text) {
    std::printf("  %s %s\n", style.bold("← gateway answers").c_str(),
                style.dim(std::string("after ") + took).c_str());
    print_block(readable(answer), max_lines, style);
    return;
  }
  std::string text(*(*content->as_array())[0].find("text")->as_string());
  JsonValue item = with_member((*content->as_array())[0], "text", "…");
  JsonValue envelope =
      with_member(answer, "result", with_member(*result, "content", JsonArray{std::move(item)}));
  bool is_error = result->find("isError") && result->find("isError")->as_bool() &&
                  *result->find("isError")->as_bool();
  std::printf("  %s %s\n", style.bold("← gateway answers").c_str(),
              style.dim(std::string("after ") + took).c_str());
  for (const std::string& part : wrap("    " + render_compact(envelope)))
    std::printf("%s\n", part.c_str());
  std::printf("  %s\n",
              is_error
                  ? style.red("the tool's text, marked as an error (\"isError\": true):").c_str()
                  : style.dim("the tool's text:").c_str());
  // Tool texts that hold JSON are re-laid out the same way as the messages.
  auto parsed = text.empty() || (text[0] != '{' && text[0] != '[')
                    ? Result<JsonValue>(fail("plain text"))
                    : parse_json(text);
  print_block(parsed.ok() ? readable(*parsed) : text, max_lines, style);
}

Result<void> move_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0)
    return fail(from + ": " + os_error_text(errno));
  return {};
}

void wait_for_enter(bool* pause) {
  std::printf("\n[Enter: next step] ");
  std::fflush(stdout);
  char buffer[256];
  ssize_t n = read_retry(STDIN_FILENO, buffer, sizeof buffer);
  if (n <= 0)
    *pause = false;  // input ended: run the rest straight through
}

int run(const Options& options) {
  Style style;
  style.on = isatty(STDOUT_FILENO);
  bool pause = options.pause && isatty(STDIN_FILENO);
  auto script_text = read_file(options.script);
  if (!script_text.ok()) {
    std::fprintf(stderr, "demo-client: %s\n", script_text.error().c_str());
    return 1;
  }
  auto script = parse_json(*script_text);
  const JsonValue* steps = script.ok() ? script->find("steps") : nullptr;
  if (!steps || !steps->as_array()) {
    std::fprintf(stderr, "demo-client: %s: %s\n", options.script.c_str(),
                 script.ok() ? "no \"steps\" list" : script.error().c_str());
    return 1;
  }
  auto gateway = start(options.command);
  if (!gateway.ok()) {
    std::fprintf(stderr, "demo-client: %s\n", gateway.error().c_str());
    return 1;
  }
  Gateway& g = *gateway;
  uint64_t next_id = 1;
  size_t total = steps->as_array()->size();
  int status = 0;
  for (size_t n = 0; n < total && status == 0; ++n) {
    const JsonValue& step = (*steps->as_array())[n];
    if (pause && n > 0)
      wait_for_enter(&pause);
    const JsonValue* say = step.find("say");
    std::string title(say && say->as_string() ? *say->as_string() : "");
    std::printf("\n%s\n", style
                              .bold("── Step " + std::to_string(n + 1) + " of " +
                                    std::to_string(total) + ": " + title)
                              .c_str());
    size_t max_lines = DEFAULT_MAX_LINES;
    if (const JsonValue* m = step.find("max_lines"); m && m->as_unsigned())
      max_lines = *m->as_unsigned();
    const JsonValue* request = step.find("request");
    const JsonValue* notify = step.find("notify");
    if (request || notify) {
      const JsonValue& step_message = request ? *request : *notify;
      JsonObject message{
          {"jsonrpc", "2.0"},
          {"method", step_message.find("method") ? *step_message.find("method") : JsonValue("")}};
      if (const JsonValue* params = step_message.find("params"))
        message.set("params", *params);
      uint64_t id = next_id;
      if (request)
        message.set("id", next_id++);
      std::printf("  %s\n", style
                                .bold(request ? "→ agent sends a request"
                                              : "→ agent sends a notification (no answer expected)")
                                .c_str());
      print_block(readable(message), max_lines, style);
      std::string line = render_compact(message) + "\n";
      auto sent = write_all(g.in.get(), line.data(), line.size());
      if (!sent.ok()) {
        std::printf("  %s\n", style.red("could not send: " + sent.error()).c_str());
        status = 1;
        break;
      }
      auto started = Clock::now();
      auto deadline = started + std::chrono::seconds(options.step_timeout_secs);
      while (request) {
        auto answer_line = next_line(g, deadline);
        if (!answer_line.ok()) {
          std::printf("  %s\n", style.red("no answer: " + answer_line.error()).c_str());
          status = 1;
          break;
        }
        auto answer = parse_json(*answer_line);
        const JsonValue* answer_id = answer.ok() ? answer->find("id") : nullptr;
        if (answer_id && answer_id->as_unsigned() && *answer_id->as_unsigned() == id) {
          std::chrono::duration<double> took = Clock::now() - started;
          print_answer(*answer, max_lines, took.count(), style);
          break;
        }
        // Anything else the gateway sends meanwhile is shown, not mistaken for the answer.
        std::printf("  %s\n", style.dim("the gateway also sent:").c_str());
        print_block(answer.ok() ? readable(*answer) : *answer_line, max_lines, style);
      }
    } else if (const JsonValue* path = step.find("remove_file"); path && path->as_string()) {
      const std::string file(*path->as_string());
      auto moved = move_file(file, file + ".demo-off");
      std::printf("  %s %s\n", style.bold("✂ removed").c_str(), file.c_str());
      if (!moved.ok())
        status = 1;
    } else if (const JsonValue* back = step.find("restore_file"); back && back->as_string()) {
      const std::string file(*back->as_string());
      auto moved = move_file(file + ".demo-off", file);
      std::printf("  %s %s\n", style.bold("↺ restored").c_str(), file.c_str());
      if (!moved.ok())
        status = 1;
    }
    // Give operator messages written around this step a moment to arrive, without waiting
    // on anything that may never come.
    pump(g, Clock::now());
    print_operator_lines(g, style);
    if (const JsonValue* note = step.find("note"); note && note->as_string()) {
      std::printf("  %s\n", style.dim("» " + std::string(*note->as_string())).c_str());
    }
  }
  g.in.reset();  // end of input: the gateway finishes and exits
  auto deadline = Clock::now() + std::chrono::seconds(EXIT_WAIT_SECS);
  while (pump(g, deadline)) {
  }
  print_operator_lines(g, style);
  int wait_status = 0;
  if (!g.out_ended || !g.err_ended) {
    std::printf("\n%s\n",
                style.red("the gateway did not exit after its input ended; stopping it").c_str());
    kill(g.pid, SIGKILL);
    waitpid(g.pid, &wait_status, 0);
    return 1;
  }
  // Both its outputs have closed, so it is exiting.
  while (waitpid(g.pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wait_status)) {
    std::printf("\n%s\n", style
                              .dim("The gateway's input ended; it exited with status " +
                                   std::to_string(WEXITSTATUS(wait_status)) + ".")
                              .c_str());
    if (WEXITSTATUS(wait_status) != 0)
      status = 1;
  } else {
    std::printf(
        "\n%s\n",
        style.red("the gateway was killed by signal " + std::to_string(WTERMSIG(wait_status)))
            .c_str());
    status = 1;
  }
  return status;
}

}  // namespace
}  // namespace brask

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);  // a gateway that dies shows up as a failed write
  auto options = brask::parse_options(argc, argv);
  if (!options.ok()) {
    std::fprintf(stderr, "demo-client: %s\n%s\n", options.error().c_str(), brask::USAGE);
    return 2;
  }
  return brask::run(*options);
}
