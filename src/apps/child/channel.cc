#include "apps/child/channel.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>

#include "base/out_of_memory.h"
#include "base/thread.h"
#include "json/parse.h"
#include "json/render.h"
#include "text/text.h"

namespace brask {
namespace {

AppEvent closed_event(std::string reason) {
  return AppEvent{AppEvent::Kind::Closed, JsonValue(), std::move(reason)};
}

// What a thread's wait beside its stream ended with.
enum class Ready { Stream, ProducerEnded, Stop };

// Waits until `stream` is ready for `events` (or has an error or hang-up), `stop` is
// written, or `producer_ended` (when not -1) is readable; the last two come first.
Ready wait_for(int stream, short events, int producer_ended, int stop) {
  pollfd fds[3] = {{stop, POLLIN, 0}, {producer_ended, POLLIN, 0}, {stream, events, 0}};
  for (;;) {
    // The next read or write reports a failed poll.
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR)
        continue;
      return Ready::Stream;
    }
    if (fds[0].revents != 0)
      return Ready::Stop;
    if (fds[1].revents != 0)
      return Ready::ProducerEnded;
    if (fds[2].revents != 0)
      return Ready::Stream;
  }
}

void read_lines(int stream, int producer_ended, int stop, Sender<AppEvent>& events) {
  auto buffer = std::make_unique<char[]>(READ_BUFFER_BYTES);
  LineFramer framer;
  // A failed put means the connection is gone: stop without another word.
  const LineFramer::Sink sink = [&events](AppEvent&& event) {
    return events.put(std::move(event)) == PutStatus::Ok;
  };
  const auto end_of_stream = [&] {
    if (framer.finish(sink))
      (void)events.put(closed_event("the app closed its MCP connection"));
  };
  for (;;) {
    ssize_t n = read_retry(stream, buffer.get(), READ_BUFFER_BYTES);
    if (n > 0) {
      if (!framer.feed(buffer.get(), static_cast<size_t>(n), sink))
        return;
      continue;
    }
    if (n == 0)
      return end_of_stream();
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      (void)events.put(closed_event("reading from the app failed: " + os_error_text(errno)));
      return;
    }
    switch (wait_for(stream, POLLIN, producer_ended, stop)) {
      case Ready::Stop:
        return;
      case Ready::Stream:
        break;
      case Ready::ProducerEnded: {
        // The server has ended: what it wrote is in the pipe, at most a pipe's capacity;
        // a process it started may hold the pipe open and write on, and is not waited for.
        const int capacity = ::fcntl(stream, F_GETPIPE_SZ);
        size_t left = capacity > 0 ? static_cast<size_t>(capacity) : READ_BUFFER_BYTES;
        while (left > 0) {
          n = read_retry(stream, buffer.get(), std::min(left, READ_BUFFER_BYTES));
          if (n <= 0)
            break;
          if (!framer.feed(buffer.get(), static_cast<size_t>(n), sink))
            return;
          left -= static_cast<size_t>(n);
        }
        return end_of_stream();
      }
    }
  }
}

void run_reader(UniqueFd stream, UniqueFd producer_ended, std::shared_ptr<const UniqueFd> stop,
                Sender<AppEvent> events) {
  read_lines(stream.get(), producer_ended.get(), stop->get(), events);
  stream.reset();
  events.reset();
}

// Writes all of `line`; false when the connection was disposed of meanwhile. A failed
// write is reported on `events`.
bool write_line(int stream, int stop, const std::string& line, Sender<AppEvent>& events) {
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(stream, data, left);
    if (n >= 0) {
      data += n;
      left -= static_cast<size_t>(n);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (wait_for(stream, POLLOUT, -1, stop) == Ready::Stop)
        return false;
    } else if (errno != EINTR) {
      (void)events.put(closed_event("writing to the app failed: " + os_error_text(errno)));
      return false;
    }
  }
  return true;
}

void write_lines(int stream, int stop, Receiver<std::string>& outgoing, Sender<AppEvent>& events) {
  for (;;) {
    Taken<std::string> line = outgoing.take();
    if (line.status != TakeStatus::Item)
      return;  // the connection is gone
    // On failure, lines still queued are never written.
    if (!write_line(stream, stop, *line.item, events))
      return;
  }
}

void run_writer(UniqueFd stream, std::shared_ptr<const UniqueFd> stop,
                Receiver<std::string> outgoing, Sender<AppEvent> events) {
  write_lines(stream.get(), stop->get(), outgoing, events);
  // In this order, so that whoever sees `events` disconnected also finds `outgoing`
  // disconnected and the app's input closed.
  stream.reset();
  outgoing.reset();
  events.reset();
}

void wake(const UniqueFd& stop) {
  const uint64_t one = 1;
  (void)!::write(stop.get(), &one, sizeof one);
}

Result<void> make_non_blocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
    return fail(os_error_text(errno));
  return {};
}

// Detached: the body owns everything it touches, and the connection it serves may be
// disposed of long before the thread notices.
template <class Body>
Result<void> start_detached(Body&& body) {
  Result<std::jthread> thread = start_thread(std::forward<Body>(body));
  if (!thread.ok())
    return fail("could not start a thread: " + thread.error());
  thread->detach();
  return {};
}

}  // namespace

AppConnection::AppConnection(Sender<std::string> outgoing, Receiver<AppEvent> events)
    : outgoing(std::move(outgoing)), events(std::move(events)) {}

AppConnection& AppConnection::operator=(AppConnection&& other) noexcept {
  if (this != &other) {
    dispose();
    outgoing = std::move(other.outgoing);
    events = std::move(other.events);
    ended = std::move(other.ended);
    next_id = other.next_id;
    child = std::move(other.child);
    tools_changed = other.tools_changed;
    stop_threads = std::move(other.stop_threads);
  }
  return *this;
}

void AppConnection::dispose() {
  // The kill comes first, so the app's last words are not mistaken for a reply to
  // nobody; the wake-up then ends both threads even if a process the gateway could not
  // kill holds the pipes.
  child.reset();
  if (stop_threads) {
    wake(*stop_threads);
    stop_threads.reset();
  }
  outgoing.reset();
  events.reset();
  ended.reset();
}

Result<AppConnection> open_channel(UniqueFd reader, UniqueFd writer, UniqueFd producer_ended) {
  for (int fd : {reader.get(), writer.get()}) {
    Result<void> made = make_non_blocking(fd);
    if (!made.ok())
      return fail("could not open the channel: " + made.error());
  }
  auto stop = std::make_shared<const UniqueFd>(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stop->valid())
    return fail("could not open the channel: " + os_error_text(errno));
  QueueEnds<std::string> outgoing =
      make_queue<std::string>(OUTGOING_QUEUE_CAPACITY, OUTGOING_QUEUE_MAX_BYTES);
  QueueEnds<AppEvent> events = make_queue<AppEvent>(EVENT_QUEUE_CAPACITY, EVENT_QUEUE_MAX_BYTES);
  Sender<AppEvent> writer_events = events.sender;
  Result<void> started =
      start_detached([stream = std::move(reader), ended = std::move(producer_ended), stop,
                      sink = std::move(events.sender)]() mutable {
        run_reader(std::move(stream), std::move(ended), std::move(stop), std::move(sink));
      });
  if (!started.ok())
    return started.failure();
  started = start_detached([stream = std::move(writer), stop, source = std::move(outgoing.receiver),
                            sink = std::move(writer_events)]() mutable {
    run_writer(std::move(stream), std::move(stop), std::move(source), std::move(sink));
  });
  if (!started.ok()) {
    wake(*stop);  // the reader must not wait on a stream nobody may close
    return started.failure();
  }
  AppConnection connection(std::move(outgoing.sender), std::move(events.receiver));
  connection.stop_threads = std::move(stop);
  return connection;
}

Result<void> send_message(AppConnection& connection, const JsonValue& message) {
  return send_message(connection, message, std::chrono::steady_clock::now() + SEND_WAIT);
}

Result<void> send_message(AppConnection& connection, const JsonValue& message,
                          std::chrono::steady_clock::time_point deadline) {
  std::string line;
  line.reserve(128);
  render_compact(message, &line);
  line.push_back('\n');
  // A writer a moment behind a burst is waited for; one that makes no room by the
  // deadline serves an app that has stopped reading.
  switch (connection.outgoing.put_until(std::move(line), deadline)) {
    case PutStatus::Ok:
      return {};
    case PutStatus::Full:
      connection.ended = "writing to the app failed: it stopped reading";
      break;
    case PutStatus::Disconnected:
      connection.ended = "writing to the app failed";
      break;
  }
  return fail(*connection.ended);
}

bool LineFramer::feed(const char* data, size_t size, const Sink& sink) {
  while (size > 0) {
    const char* newline = static_cast<const char*>(std::memchr(data, '\n', size));
    size_t part = newline ? static_cast<size_t>(newline - data) : size;
    if (!too_long_ && !no_memory_) {
      if (line_.size() + part > MAX_APP_LINE_BYTES) {
        too_long_ = true;
        line_.release();
      } else if (!line_.append(data, part)) {
        no_memory_ = true;
        line_.release();
      }
    }
    if (!newline)
      return true;
    data += part + 1;
    size -= part + 1;
    if (!end_line(sink))
      return false;
  }
  return true;
}

bool LineFramer::finish(const Sink& sink) {
  if (line_.size() == 0 && !too_long_ && !no_memory_)
    return true;
  return end_line(sink);
}

bool LineFramer::end_line(const Sink& sink) {
  std::optional<AppEvent> event;
  if (too_long_) {
    event = AppEvent{AppEvent::Kind::TooLarge, JsonValue(), std::string()};
  } else if (no_memory_) {
    event = AppEvent{AppEvent::Kind::Dropped, JsonValue(), std::string(DROPPED_LINE_REASON)};
  } else if (!is_blank_line(line_.view())) {
    std::optional<Result<JsonValue>> value =
        unless_out_of_memory([&] { return parse_json(line_.view()); });
    if (!value) {
      event = AppEvent{AppEvent::Kind::Dropped, JsonValue(), std::string(DROPPED_LINE_REASON)};
    } else if (value->ok()) {
      event = AppEvent{AppEvent::Kind::Message, std::move(*value).take(), {}, line_.size()};
    } else if (std::optional<uint64_t> id = find_answer_id(line_.view())) {
      event = AppEvent{AppEvent::Kind::Invalid, JsonValue(*id), value->error()};
    }
    // Anything else is a log line printed on standard output, skipped silently.
  }
  too_long_ = false;
  no_memory_ = false;
  line_.clear();
  return !event || sink(std::move(*event));
}

std::optional<uint64_t> find_answer_id(std::string_view line) {
  size_t at = line.find_first_not_of(" \t\n\r");
  if (at == std::string_view::npos || line[at] != '{')
    return std::nullopt;
  // One pass over the bytes, knowing only the nesting depth and whether a string is
  // open: the rest of the line may be broken in any way.
  int depth = 0;
  bool key_next = false;  // at depth 1, the next string is a member name
  for (; at < line.size(); ++at) {
    const char c = line[at];
    if (c == '"') {
      const size_t start = at + 1;
      for (++at; at < line.size() && line[at] != '"'; ++at) {
        if (line[at] == '\\')
          ++at;
      }
      if (at >= line.size())
        return std::nullopt;
      const bool is_id = key_next && line.substr(start, at - start) == "id";
      key_next = false;
      if (!is_id)
        continue;
      size_t value = line.find_first_not_of(" \t\n\r", at + 1);
      if (value == std::string_view::npos || line[value] != ':')
        continue;
      value = line.find_first_not_of(" \t\n\r", value + 1);
      if (value == std::string_view::npos)
        return std::nullopt;
      uint64_t id = 0;
      auto [end, ec] = std::from_chars(line.data() + value, line.data() + line.size(), id);
      const size_t after = static_cast<size_t>(end - line.data());
      // Only a whole non-negative integer names a request: not "1", 1.0 or -1.
      if (ec == std::errc() &&
          (after == line.size() ||
           std::string_view(" \t\n\r,}").find(line[after]) != std::string_view::npos))
        return id;
      return std::nullopt;
    }
    if (c == '{' || c == '[') {
      ++depth;
      key_next = depth == 1;
    } else if (c == '}' || c == ']') {
      --depth;
    } else if (c == ',' && depth == 1) {
      key_next = true;
    }
  }
  return std::nullopt;
}

}  // namespace brask
