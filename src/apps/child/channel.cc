#include "apps/child/channel.h"

#include <errno.h>

#include <cstring>
#include <memory>
#include <thread>
#include <utility>

#include "base/out_of_memory.h"
#include "base/thread.h"
#include "json/parse.h"
#include "json/render.h"

namespace brask {
namespace {

AppEvent closed_event(std::string reason) {
  return AppEvent{AppEvent::Kind::Closed, JsonValue(), std::move(reason)};
}

bool is_blank(std::string_view line) {
  return line.find_first_not_of(" \t\f\r") == std::string_view::npos;
}

void read_lines(int stream, Sender<AppEvent>& events) {
  auto buffer = std::make_unique<char[]>(READ_BUFFER_BYTES);
  LineFramer framer;
  // A failed put means the connection is gone: stop without another word.
  const LineFramer::Sink sink = [&events](AppEvent&& event) {
    return events.put(std::move(event)) == PutStatus::Ok;
  };
  for (;;) {
    ssize_t n = read_retry(stream, buffer.get(), READ_BUFFER_BYTES);
    if (n < 0) {
      (void)events.put(closed_event("reading from the app failed: " + os_error_text(errno)));
      return;
    }
    if (n == 0) {
      if (framer.finish(sink)) {
        (void)events.put(closed_event("the app closed its MCP connection"));
      }
      return;
    }
    if (!framer.feed(buffer.get(), static_cast<size_t>(n), sink)) return;
  }
}

void run_reader(UniqueFd stream, Sender<AppEvent> events) {
  read_lines(stream.get(), events);
  stream.reset();
  events.reset();
}

void write_lines(int stream, Receiver<std::string>& outgoing, Sender<AppEvent>& events) {
  for (;;) {
    Taken<std::string> line = outgoing.take();
    if (line.status != TakeStatus::Item) return;  // the connection is gone
    Result<void> written = write_all(stream, line.item->data(), line.item->size());
    if (!written.ok()) {
      (void)events.put(closed_event("writing to the app failed: " + written.error()));
      return;  // lines still queued are never written
    }
  }
}

void run_writer(UniqueFd stream, Receiver<std::string> outgoing, Sender<AppEvent> events) {
  write_lines(stream.get(), outgoing, events);
  // In this order, so that whoever sees `events` disconnected also finds `outgoing`
  // disconnected and the app's input closed.
  stream.reset();
  outgoing.reset();
  events.reset();
}

// Detached: the body owns everything it touches, and the connection it serves may be
// disposed of long before the thread notices.
template <class Body>
Result<void> start_detached(Body&& body) {
  Result<std::jthread> thread = start_thread(std::forward<Body>(body));
  if (!thread.ok()) return fail("could not start a thread: " + thread.error());
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
  }
  return *this;
}

void AppConnection::dispose() {
  // The kill comes first: it ends both streams, so neither thread can stay blocked
  // on the app once the queues are gone.
  child.reset();
  outgoing.reset();
  events.reset();
  ended.reset();
}

Result<AppConnection> open_channel(UniqueFd reader, UniqueFd writer) {
  QueueEnds<std::string> outgoing = make_queue<std::string>(OUTGOING_QUEUE_CAPACITY);
  QueueEnds<AppEvent> events = make_queue<AppEvent>(EVENT_QUEUE_CAPACITY);
  Sender<AppEvent> writer_events = events.sender;
  Result<void> started =
      start_detached([stream = std::move(reader), sink = std::move(events.sender)]() mutable {
        run_reader(std::move(stream), std::move(sink));
      });
  if (!started.ok()) return started.failure();
  started = start_detached([stream = std::move(writer), source = std::move(outgoing.receiver),
                            sink = std::move(writer_events)]() mutable {
    run_writer(std::move(stream), std::move(source), std::move(sink));
  });
  if (!started.ok()) return started.failure();
  return AppConnection(std::move(outgoing.sender), std::move(events.receiver));
}

Result<void> send_message(AppConnection& connection, const JsonValue& message) {
  std::string line;
  line.reserve(128);
  render_compact(message, &line);
  line.push_back('\n');
  switch (connection.outgoing.try_put(std::move(line))) {
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
    if (!too_long_) {
      // A line that memory cannot hold is dropped like one over the limit.
      if (line_.size() + part > MAX_APP_LINE_BYTES || !line_.append(data, part)) {
        too_long_ = true;
        line_.release();
      }
    }
    if (!newline) return true;
    data += part + 1;
    size -= part + 1;
    if (!end_line(sink)) return false;
  }
  return true;
}

bool LineFramer::finish(const Sink& sink) {
  if (line_.size() == 0 && !too_long_) return true;
  return end_line(sink);
}

bool LineFramer::end_line(const Sink& sink) {
  std::optional<AppEvent> event;
  if (too_long_) {
    too_long_ = false;
    event = AppEvent{AppEvent::Kind::TooLarge, JsonValue(), std::string()};
  } else if (!is_blank(line_.view())) {
    Result<JsonValue> value = fail("");
    if (runs_out_of_memory([&] { value = parse_json(line_.view()); })) {
      event = AppEvent{AppEvent::Kind::Dropped, JsonValue(), std::string(DROPPED_LINE_REASON)};
    } else if (value.ok()) {
      // Apps print log lines on standard output; those are skipped silently.
      event = AppEvent{AppEvent::Kind::Message, std::move(value).take(), {}};
    }
  }
  line_.clear();
  return !event || sink(std::move(*event));
}

}  // namespace brask
