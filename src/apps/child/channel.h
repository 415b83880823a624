// channel.h: the line transport under one app connection. Owns the reader and writer
// threads and the two bounded queues; knows nothing of request ids or processes (a
// process is attached afterwards). An `AppConnection` is used by one thread at a time:
// the one starting the app, later the holder of its slot's connection lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

inline constexpr size_t MAX_APP_LINE_BYTES = 67108864;  // not counting the "\n"
// A line buffer grown past this by one long line is given back afterwards, so an idle
// connection does not keep tens of MiB.
inline constexpr size_t KEPT_APP_LINE_CAPACITY_BYTES = 16 << 20;
inline constexpr size_t EVENT_QUEUE_CAPACITY = 256;
inline constexpr size_t OUTGOING_QUEUE_CAPACITY = 64;
inline constexpr size_t READ_BUFFER_BYTES = 64 * 1024;

// What the reader and writer threads report. Dropped: a line the gateway had no memory
// to parse (the reader goes on with the next one).
struct AppEvent {
  enum class Kind { Message, TooLarge, Dropped, Closed };
  Kind kind = Kind::Closed;
  JsonValue message;   // Kind::Message: the value the app sent, of any type
  std::string reason;  // Kind::Closed: why the thread ended; Kind::Dropped: why the line went
};

inline constexpr std::string_view DROPPED_LINE_REASON =
    "the gateway ran out of memory for a message of the app";

// A connection to one app's server. Disposal (destruction or assignment over it)
// kills and reaps `child` first, then releases `outgoing` (the writer stops and
// closes its stream), then `events` (the reader stops at its next event). The
// threads are never joined.
struct AppConnection {
  AppConnection(Sender<std::string> outgoing, Receiver<AppEvent> events);
  AppConnection(AppConnection&& other) noexcept = default;
  AppConnection& operator=(AppConnection&& other) noexcept;
  ~AppConnection() { dispose(); }

  Sender<std::string> outgoing;  // lines for the writer thread, at most 64 waiting
  Receiver<AppEvent> events;     // from the reader and writer threads, at most 256
  std::optional<std::string> ended;  // once present, the connection is finished: why
  uint64_t next_id = 1;              // id of the next request
  std::optional<ChildProcess> child;
  bool tools_changed = false;  // the app announced a change of its tool list

 private:
  void dispose();
};

// Takes both descriptors and starts the reader thread, then the writer thread.
// Failure (only when a thread cannot be created): "could not start a thread: {error}";
// the descriptors are closed and no thread is left running.
Result<AppConnection> open_channel(UniqueFd reader, UniqueFd writer);

// Queues `message` as one compact line without waiting. Failures, which also set
// `ended`: "writing to the app failed: it stopped reading" when 64 lines wait already,
// "writing to the app failed" once the writer thread has stopped.
Result<void> send_message(AppConnection& connection, const JsonValue& message);

// The reader thread's framing, usable on its own (tests, fuzzing): bytes in, one
// call of `sink` per complete line that yields an event. Blank lines (spaces, tabs,
// form feeds, carriage returns) and lines that are not JSON yield nothing; a line
// over MAX_APP_LINE_BYTES yields TooLarge and is never held in memory; a line whose
// parse runs out of memory yields Dropped.
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
};

}  // namespace brask
