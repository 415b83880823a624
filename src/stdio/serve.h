// serve.h: the request loop on standard input and output. Reads lines within the
// request size budget, answers lines that are not request objects, runs each request
// on a thread of its own (at most MAX_RUNNING_REQUESTS at once) and writes every
// answer through one `ResponseWriter`. The meaning of a request belongs to mcp/json_rpc.
// `serve_*` run on the main thread; `write_message` from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>

#include "apps/gateway.h"
#include "base/mutex.h"
#include "base/result.h"
#include "json/json.h"

namespace brask {

inline constexpr size_t MAX_REQUEST_BYTES = 96 << 20;  // one line, without its line feed
inline constexpr size_t MAX_RUNNING_REQUESTS = 16;

// One output descriptor behind a lock, shared by the loop and every request thread.
// Does not own the descriptor.
class ResponseWriter {
 public:
  explicit ResponseWriter(int fd) : fd_(fd) {}
  ResponseWriter(const ResponseWriter&) = delete;
  ResponseWriter& operator=(const ResponseWriter&) = delete;

 private:
  friend Result<void> write_message(ResponseWriter& writer, const JsonValue& message,
                                    const std::function<void()>& before_write);
  // Held while one message is written, and while write_message's `before_write` runs just
  // before it (a request gives its slot back there); nothing else.
  Mutex mutex_;
  const int fd_;
};

// Writes `message` in the compact form plus a line feed with one write (retried when
// short) under the writer's lock, so lines never interleave; the rendering happens
// before the lock is taken. Failure: the system error, e.g. "Broken pipe (os error 32)".
Result<void> write_message(ResponseWriter& writer, const JsonValue& message);
// The same, calling `before_write` with the writer's lock held just before the bytes go
// out: whatever it does is done before the reader can see the answer.
Result<void> write_message(ResponseWriter& writer, const JsonValue& message,
                           const std::function<void()>& before_write);

// Answers one request object on a request thread; nothing for a notification. Called
// from several threads at once.
// The request is handed over whole, so large arguments can move on instead of being copied.
using RequestHandler = std::function<std::optional<JsonValue>(JsonValue request)>;

// Serves `input_fd` until it ends or fails, handling request objects with `handle`.
// Returns only after every request thread has finished, so `handle` and `writer` need
// to live only as long as this call. Failure: a read error of `input_fd`, a write error
// of an answer the loop writes itself, or "failed to spawn thread: {system error}".
Result<void> serve_lines(int input_fd, ResponseWriter& writer, const RequestHandler& handle);

// `serve_lines` on standard input and output with `handle_request` on `gateway`.
Result<void> serve_stdio(Gateway& gateway);

}  // namespace brask
