// relay_floor.cc: what a relayed tool call costs on this machine with the gateway's own
// thread layout and nothing else, so gateway_bench can read every relay figure against
// it. Same wire as `brask-ai-mcp --stdio` for `initialize` and `brask_call_tool` (apps
// from $BRASK_MCP_DIR/apps.json, started on first use and sent `initialize`), and the same
// road per call: a line reader, a kept thread per request (at most 16, the most recently
// parked one taken first), per app a writer thread and a reader thread behind two queues,
// the waiting request thread, one locked write of the answer, and three reads of the apps
// file. JSON is parsed and rendered with the gateway's own library. What is left out is
// what the design does not need on this road: validation beyond the members used, the
// tool list, deadlines, and every error path (a failure ends the program).
//
// The primitives are the cheapest found: a futex parker per waiter, woken only when it
// sleeps, queues that wake their single consumer only when it waits.
#include <fcntl.h>
#include <linux/futex.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "apps/registry.h"
#include "base/unique_fd.h"
#include "json/parse.h"
#include "json/render.h"

extern char** environ;

namespace {

using brask::JsonValue;

constexpr size_t kMaxRunning = 16;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "relay_floor: %s\n", what.c_str());
  std::_Exit(1);
}

// One waiter's wake-up: park() returns once unpark() has been called since the last
// park() returned; unpark() makes a system call only when the waiter is asleep.
class Parker {
 public:
  void park() {
    if (state_.fetch_sub(1, std::memory_order_acquire) == kNotified)
      return;  // now kEmpty
    for (;;) {
      syscall(SYS_futex, &state_, FUTEX_WAIT_PRIVATE, kParked, nullptr, nullptr, 0);
      int32_t expected = kNotified;
      if (state_.compare_exchange_strong(expected, kEmpty, std::memory_order_acquire))
        return;
    }
  }
  void unpark() {
    if (state_.exchange(kNotified, std::memory_order_release) == kParked)
      syscall(SYS_futex, &state_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }

 private:
  static constexpr int32_t kParked = -1, kEmpty = 0, kNotified = 1;
  std::atomic<int32_t> state_{kEmpty};
};

// Any number of producers, one consumer at a time, unbounded (the design bounds its
// queues; a floor that never fills them needs no bound).
template <class T>
class Queue {
 public:
  void put(T item) {
    bool wake;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      items_.push_back(std::move(item));
      wake = std::exchange(waiting_, false);
    }
    if (wake)
      parker_.unpark();
  }
  T take() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (items_.empty()) {
      waiting_ = true;
      lock.unlock();
      parker_.park();
      lock.lock();
    }
    T item = std::move(items_.front());
    items_.pop_front();
    return item;
  }

 private:
  std::mutex mutex_;
  std::deque<T> items_;
  bool waiting_ = false;
  Parker parker_;
};

// Appends whole lines of `fd` to `sink` as they come, until the stream ends.
template <class Sink>
void read_lines(int fd, Sink sink) {
  std::vector<char> buffer(64 * 1024);
  std::string line;
  for (;;) {
    ssize_t got = brask::read_retry(fd, buffer.data(), buffer.size());
    if (got <= 0)
      return;
    const char* data = buffer.data();
    size_t left = static_cast<size_t>(got);
    while (left > 0) {
      const char* feed = static_cast<const char*>(std::memchr(data, '\n', left));
      size_t part = feed ? static_cast<size_t>(feed - data) : left;
      line.append(data, part);
      if (!feed)
        break;
      sink(line);
      line.clear();
      data += part + 1;
      left -= part + 1;
    }
  }
}

// The apps file read as the agents check reads it: opened, asked for its size, read,
// closed. The bytes are compared with the last ones, as an unchanged file is not parsed.
class AppsFile {
 public:
  explicit AppsFile(std::string path) : path_(std::move(path)) {}
  void check() {
    brask::UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat meta;
    if (!fd.valid() || ::fstat(fd.get(), &meta) != 0)
      die("cannot read " + path_);
    std::string bytes(static_cast<size_t>(meta.st_size), '\0');
    if (brask::read_retry(fd.get(), bytes.data(), bytes.size()) != meta.st_size)
      die("short read of " + path_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (bytes != last_)
      last_ = std::move(bytes);
  }

 private:
  const std::string path_;
  std::mutex mutex_;
  std::string last_;
};

struct Event {
  JsonValue message;
};

// One app's server with its writer and reader threads, started on first use.
class App {
 public:
  explicit App(brask::AppEntry entry) : entry_(std::move(entry)) {}

  // The app's "result" for tools/call of `tool` with `arguments` (compact JSON).
  JsonValue call(AppsFile& file, std::string_view tool, const JsonValue& arguments) {
    std::lock_guard<std::mutex> lock(mutex_);
    file.check();
    if (!started_)
      start();
    std::string line = R"({"id":)" + std::to_string(next_id_) +
                       R"(,"jsonrpc":"2.0","method":"tools/call","params":{"arguments":)";
    brask::render_compact(arguments, &line);
    line += R"(,"name":")";
    line += tool;
    line += "\"}}\n";
    JsonValue result = exchange(std::move(line));
    file.check();
    return result;
  }

 private:
  JsonValue exchange(std::string line) {
    const uint64_t id = next_id_++;
    outgoing_.put(std::move(line));
    for (;;) {
      Event event = events_.take();
      const JsonValue* got = event.message.find("id");
      if (got && got->as_unsigned() && *got->as_unsigned() == id) {
        if (!event.message.find("result"))
          die("the app answered with an error");
        return std::move(event.message).take("result");
      }
    }
  }

  void start() {
    brask::Result<brask::Pipe> in = brask::make_pipe(), out = brask::make_pipe();
    if (!in.ok() || !out.ok())
      die("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in->read_end.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, out->write_end.get(), 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> argv_text = {entry_.command};
    argv_text.insert(argv_text.end(), entry_.args.begin(), entry_.args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_text)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, entry_.command.c_str(), &actions, nullptr, argv.data(), environ) != 0)
      die("cannot start " + entry_.command);
    posix_spawn_file_actions_destroy(&actions);
    // Kept running until the program exits; the app ends when its input closes.
    std::thread([this, fd = std::move(in->write_end)] {
      for (;;) {
        std::string line = outgoing_.take();
        if (!brask::write_all(fd.get(), line.data(), line.size()).ok())
          return;
      }
    }).detach();
    std::thread([this, fd = std::move(out->read_end)] {
      read_lines(fd.get(), [this](const std::string& line) {
        brask::Result<JsonValue> value = brask::parse_json(line);
        if (value.ok())
          events_.put(Event{std::move(value).take()});
      });
    }).detach();
    started_ = true;
    exchange(R"({"id":1,"jsonrpc":"2.0","method":"initialize","params":{"capabilities":{},)"
             R"("clientInfo":{"name":"relay-floor","version":"1"},"protocolVersion":"2025-06-18"}})"
             "\n");
    outgoing_.put(R"({"jsonrpc":"2.0","method":"notifications/initialized","params":{}})"
                  "\n");
  }

  const brask::AppEntry entry_;
  std::mutex mutex_;  // held for a whole call, as the gateway's connection lock
  bool started_ = false;
  uint64_t next_id_ = 1;
  Queue<std::string> outgoing_;
  Queue<Event> events_;
};

class Relay {
 public:
  Relay(std::vector<brask::AppEntry> entries, std::string apps_path) : file_(std::move(apps_path)) {
    for (brask::AppEntry& entry : entries) {
      ids_.push_back(entry.id);
      apps_.push_back(std::make_unique<App>(std::move(entry)));
    }
  }

  void write(const std::string& text) {
    std::lock_guard<std::mutex> lock(output_mutex_);
    if (!brask::write_all(STDOUT_FILENO, text.data(), text.size()).ok())
      die("write to standard output failed");
  }

  // The answer line to `request`, or nothing for a notification.
  std::optional<std::string> handle(JsonValue& request) {
    const JsonValue* id = request.find("id");
    if (!id)
      return std::nullopt;
    std::string answer = R"({"id":)";
    brask::render_compact(*id, &answer);
    answer += R"(,"jsonrpc":"2.0","result":)";
    const JsonValue* method = request.find("method");
    if (method && method->as_string() && *method->as_string() == "initialize") {
      answer += R"({"capabilities":{"tools":{}},"protocolVersion":"2025-06-18",)"
                R"("serverInfo":{"name":"relay-floor","version":"1"}})";
    } else {
      file_.check();  // the agents gate
      const JsonValue* params = request.find("params");
      const JsonValue* arguments = params ? params->find("arguments") : nullptr;
      const JsonValue* app = arguments ? arguments->find("app") : nullptr;
      const JsonValue* tool = arguments ? arguments->find("tool") : nullptr;
      const JsonValue* tool_arguments = arguments ? arguments->find("arguments") : nullptr;
      if (!app || !app->as_string() || !tool || !tool->as_string() || !tool_arguments)
        die("not a brask_call_tool request");
      App* target = nullptr;
      for (size_t i = 0; i < ids_.size(); ++i) {
        if (ids_[i] == *app->as_string())
          target = apps_[i].get();
      }
      if (!target)
        die("no app " + std::string(*app->as_string()));
      brask::render_compact(target->call(file_, *tool->as_string(), *tool_arguments), &answer);
    }
    answer += "}\n";
    return answer;
  }

 private:
  AppsFile file_;
  std::vector<std::string> ids_;
  std::vector<std::unique_ptr<App>> apps_;
  std::mutex output_mutex_;
};

// Kept request threads: the loop hands a request to the most recently parked one, or
// starts a thread when none is parked.
class Workers {
 public:
  explicit Workers(Relay& relay) : relay_(relay) {}

  // Takes `request` away, or leaves it and answers false when 16 are running.
  bool admit(JsonValue& request) {
    if (running_.fetch_add(1) >= kMaxRunning) {
      running_.fetch_sub(1);
      return false;
    }
    Worker* worker = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!idle_.empty()) {
        worker = idle_.back();
        idle_.pop_back();
      }
    }
    if (!worker) {
      workers_.push_back(std::make_unique<Worker>());
      worker = workers_.back().get();
      worker->request = std::move(request);
      worker->thread = std::thread([this, worker] { run(*worker); });
      return true;
    }
    worker->request = std::move(request);
    worker->parker.unpark();
    return true;
  }

  // Waits for every request, then ends every thread.
  void finish() {
    for (const std::unique_ptr<Worker>& worker : workers_) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        worker->stop = true;
      }
      worker->parker.unpark();
      worker->thread.join();
    }
  }

 private:
  struct Worker {
    Parker parker;
    std::optional<JsonValue> request;  // written by the loop before the unpark
    bool stop = false;                 // under mutex_
    std::thread thread;
  };

  void run(Worker& self) {
    for (;;) {
      if (self.request) {
        std::optional<std::string> answer = relay_.handle(*self.request);
        self.request.reset();
        // As the gateway: the slot is given back before the answer can be read.
        running_.fetch_sub(1);
        if (answer)
          relay_.write(*answer);
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (self.stop)
          return;
        idle_.push_back(&self);
      }
      self.parker.park();
      if (!self.request)
        return;  // only `finish` wakes a thread without a request
    }
  }

  Relay& relay_;
  std::atomic<size_t> running_{0};
  std::mutex mutex_;
  std::vector<Worker*> idle_;                     // under mutex_
  std::vector<std::unique_ptr<Worker>> workers_;  // the loop's own
};

}  // namespace

int main() {
  std::optional<std::string> folder = brask::apps_folder();
  if (!folder)
    die("no apps folder");
  brask::AppsFileResult file = brask::load_apps_file(*folder);
  if (file.kind != brask::AppsFileResult::Kind::Loaded)
    die("apps file not loaded: " + file.message);
  Relay relay(std::move(file.registry.apps), brask::join_path(*folder, "apps.json"));
  Workers workers(relay);
  read_lines(STDIN_FILENO, [&](const std::string& line) {
    brask::Result<JsonValue> request = brask::parse_json(line);
    if (!request.ok() || !request->as_object())
      die("not a request: " + line.substr(0, 200));
    if (workers.admit(*request))
      return;
    std::string busy = R"({"error":{"code":-32000,"message":"busy"},"id":)";
    if (const JsonValue* id = request->find("id"))
      brask::render_compact(*id, &busy);
    else
      busy += "null";
    busy += ",\"jsonrpc\":\"2.0\"}\n";
    relay.write(busy);
  });
  workers.finish();
  // The apps' threads are detached and still blocked on them: leave without tearing down.
  std::fflush(stdout);
  std::_Exit(0);
}
