// channel.h: the line transport under one app connection. Owns the reader and writer
// threads and the two bounded queues; knows nothing of request ids or processes (a
// process is attached afterwards). An `AppConnection` is used by one thread at a time:
// the one starting the app, later the holder of its slot's connection lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "apps/child/process.h"
#include "apps/child/queue.h"
#include "base/line_buffer.h"
#include "base/result.h"
#include "base/unique_fd.h"
#include "json/json.h"

namespace brask {

inline constexpr size_t MAX_APP_LINE_BYTES = 64 << 20;  // not counting the "\n"
// A line buffer grown past this by one long line is given back afterwards, so an idle
// connection does not keep tens of MiB.
inline constexpr size_t KEPT_APP_LINE_CAPACITY_BYTES = 1 << 20;
inline constexpr size_t EVENT_QUEUE_CAPACITY = 256;
// Bytes of app lines that may wait as events: an idle app must not make the gateway hold
// 256 maximal lines. When they are reached the reader stops reading and the app's pipe
// fills; one line of any allowed size still passes alone.
inline constexpr size_t EVENT_QUEUE_MAX_BYTES = 2 * MAX_APP_LINE_BYTES;
inline constexpr size_t OUTGOING_QUEUE_CAPACITY = 64;
// Bytes of lines that may wait for the writer: an app that stops reading must not make
// the gateway hold 64 answers to its largest requests. One line of any size still
// passes alone.
inline constexpr size_t OUTGOING_QUEUE_MAX_BYTES = 16 << 20;
// How long a send waits for room among the outgoing lines when its caller has no
// deadline of its own; past it, the app has stopped reading.
inline constexpr std::chrono::seconds SEND_WAIT{5};
inline constexpr size_t READ_BUFFER_BYTES = 64 * 1024;

// What the reader and writer threads report. Dropped: a line the gateway had no memory
// to hold or parse (the reader goes on with the next one). Invalid: a line that is not
// JSON but whose top-level "id" can still be read, so the request it answers can fail
// at once.
struct AppEvent {
  enum class Kind { Message, TooLarge, Dropped, Invalid, Closed };
  Kind kind = Kind::Closed;
  JsonValue message;      // Message: the value the app sent, of any type; Invalid: the id
  std::string reason;     // Closed: why the thread ended; Dropped: why the line went;
                          // Invalid: why it does not parse
  size_t line_bytes = 0;  // Message: the length of the line it came in
};

template <>
struct QueueWeight<AppEvent> {
  static size_t of(const AppEvent& event) { return event.line_bytes; }
};

template <>
struct QueueWeight<std::string> {
  static size_t of(const std::string& line) { return line.size(); }
};

// The top-level "id" of `line` when it is a non-negative integer, read without parsing
// the rest (which may be broken anywhere): the id of an answer that does not parse.
std::optional<uint64_t> find_answer_id(std::string_view line);

inline constexpr std::string_view DROPPED_LINE_REASON =
    "the gateway ran out of memory for a message of the app";

// A connection to one app's server. Disposal (destruction or assignment over it)
// kills and reaps `child` first, then wakes both threads, which stop and close their
// streams even when some process the gateway could not kill still holds the other
// ends, then releases `outgoing` and `events`. The threads are never joined.
struct AppConnection {
  AppConnection(Sender<std::string> outgoing, Receiver<AppEvent> events);
  AppConnection(AppConnection&& other) noexcept = default;
  AppConnection& operator=(AppConnection&& other) noexcept;
  ~AppConnection() { dispose(); }

  Sender<std::string> outgoing;      // lines for the writer thread, at most 64 waiting
  Receiver<AppEvent> events;         // from the reader and writer threads, at most 256
  std::optional<std::string> ended;  // once present, the connection is finished: why
  uint64_t next_id = 1;              // id of the next request
  std::optional<ChildProcess> child;
  bool tools_changed = false;  // the app announced a change of its tool list
  // An eventfd both threads poll beside their streams; written once, at disposal.
  std::shared_ptr<const UniqueFd> stop_threads;

 private:
  void dispose();
};

// Takes both descriptors (made non-blocking) and starts the reader thread, then the
// writer thread. `producer_ended`, when valid, becomes readable once the process that
// writes `reader` has ended (a pidfd): the reader then takes what is left in the stream
// and closes the connection with "the app closed its MCP connection", even when a
// process it started still holds the stream open. Failures: "could not start a thread:
// {error}" or "could not open the channel: {error}"; the descriptors are closed and no
// thread is left running.
Result<AppConnection> open_channel(UniqueFd reader, UniqueFd writer,
                                   UniqueFd producer_ended = UniqueFd());

// Queues `message` as one compact line, waiting for room among the 64 outgoing lines
// until `deadline` (now + SEND_WAIT when none is given). Failures, which also set
// `ended`: "writing to the app failed: it stopped reading" when there is still no room
// then, "writing to the app failed" once the writer thread has stopped.
Result<void> send_message(AppConnection& connection, const JsonValue& message,
                          std::chrono::steady_clock::time_point deadline);
Result<void> send_message(AppConnection& connection, const JsonValue& message);

// The reader thread's framing, usable on its own (tests, fuzzing): bytes in, one
// call of `sink` per complete line that yields an event. Blank lines (spaces, tabs,
// form feeds, carriage returns) and lines that are not JSON yield nothing, unless
// find_answer_id reads an id in them (Invalid); a line over MAX_APP_LINE_BYTES yields
// TooLarge and is never held in memory; a line that memory cannot hold or parse yields
// Dropped.
class LineFramer {
 public:
  using Sink = std::function<bool(AppEvent&&)>;  // returns false to stop

  // Returns false as soon as `sink` does.
  bool feed(const char* data, size_t size, const Sink& sink);
  // The stream ended: delivers a last line that had no "\n", if any.
  bool finish(const Sink& sink);

 private:
  bool end_line(const Sink& sink);

  LineBuffer line_{MAX_APP_LINE_BYTES, KEPT_APP_LINE_CAPACITY_BYTES};
  bool too_long_ = false;
  bool no_memory_ = false;  // this line did not fit in the memory to be had
};

}  // namespace brask
