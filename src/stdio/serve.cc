#include "stdio/serve.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "base/heap.h"
#include "base/line_buffer.h"
#include "base/os_error.h"
#include "base/out_of_memory.h"
#include "base/unique_fd.h"
#include "json/parse.h"
#include "json/render.h"
#include "mcp/json_rpc.h"
#include "stdio/request_threads.h"
#include "text/text.h"

namespace brask {
namespace {

constexpr size_t LINE_BUDGET_BYTES = MAX_REQUEST_BYTES + 1;  // line feed included
constexpr size_t INPUT_BUFFER_BYTES = 64 * 1024;
constexpr size_t KEPT_LINE_CAPACITY_BYTES = 1 << 20;
constexpr size_t FIRST_MESSAGE_BYTES = 128;

constexpr std::string_view NOT_AN_OBJECT = "a request must be one JSON object";

std::string too_large_message() {
  return "request larger than " + std::to_string(MAX_REQUEST_BYTES) + " bytes";
}

constexpr std::string_view NO_MEMORY = "the gateway ran out of memory for this request";

std::string busy_message() {
  return std::to_string(MAX_RUNNING_REQUESTS) +
         " requests are already running; try again when one finishes";
}

// NoMemory: the line could not be held; what was read of it is dropped.
enum class LineStatus { Line, TooLong, NoMemory, End, Failed };

// Reads lines from a descriptor through a fixed buffer; bytes after a line feed stay
// for the next line.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd), buffer_(new char[INPUT_BUFFER_BYTES]) {}

  // Appends one line, line feed included, to the empty `line`. TooLong when the budget
  // is used up without a line feed; NoMemory when the buffer cannot grow (the rest of
  // the line is still unread); End when no byte was left; Failed on a read error (see
  // `failure()`), dropping what was read of the line.
  LineStatus read_line(LineBuffer* line) {
    for (;;) {
      if (start_ == end_) {
        ssize_t n = fill();
        if (n == 0)
          return line->size() > 0 ? LineStatus::Line : LineStatus::End;
        if (n < 0)
          return LineStatus::Failed;
      }
      size_t take = std::min(end_ - start_, LINE_BUDGET_BYTES - line->size());
      const char* begin = buffer_.get() + start_;
      const void* feed = std::memchr(begin, '\n', take);
      if (feed)
        take = static_cast<const char*>(feed) - begin + 1;
      if (!line->append(begin, take)) {
        line->release();
        return LineStatus::NoMemory;
      }
      start_ += take;
      if (feed)
        return LineStatus::Line;
      if (line->size() == LINE_BUDGET_BYTES)
        return LineStatus::TooLong;
    }
  }

  // Drops input up to and including the next line feed, or to the end of input. False
  // on a read error.
  bool skip_line() {
    for (;;) {
      if (start_ == end_) {
        ssize_t n = fill();
        if (n == 0)
          return true;
        if (n < 0)
          return false;
      }
      const char* begin = buffer_.get() + start_;
      const void* feed = std::memchr(begin, '\n', end_ - start_);
      if (feed) {
        start_ += static_cast<const char*>(feed) - begin + 1;
        return true;
      }
      start_ = end_;
    }
  }

  Failure failure() const { return fail(os_error_text(error_)); }

 private:
  // Bytes read into the empty buffer, 0 at end of input, -1 on failure.
  ssize_t fill() {
    start_ = end_ = 0;
    ssize_t n = read_retry(fd_, buffer_.get(), INPUT_BUFFER_BYTES);
    // A parent that shares a non-blocking descriptor with us: wait for input instead.
    while (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      wait_ready(fd_, POLLIN);
      n = read_retry(fd_, buffer_.get(), INPUT_BUFFER_BYTES);
    }
    if (n < 0) {
      // A standard input that was never opened is simply empty.
      if (errno == EBADF)
        return 0;
      error_ = errno;
      return -1;
    }
    end_ = static_cast<size_t>(n);
    return n;
  }

  const int fd_;
  std::unique_ptr<char[]> buffer_;
  size_t start_ = 0;  // unread bytes are [start_, end_)
  size_t end_ = 0;
  int error_ = 0;
};

// Handles one request on a request thread and writes its answer, calling `release_slot`
// once, just before the answer goes out (or when there is none). A request that runs
// out of memory, in handling or in rendering its answer, is answered with an error of
// its own; the other requests go on.
void answer_request(const RequestHandler& handle, ResponseWriter& writer, JsonValue request,
                    const std::function<void()>& release_slot) {
  std::optional<JsonValue> id;
  bool released = false;
  const std::function<void()> release = [&] {
    release_slot();
    released = true;
  };
  const bool no_memory = runs_out_of_memory([&] {
    if (const JsonValue* given = request.find("id"))
      id = *given;
    std::optional<JsonValue> response = handle(std::move(request));
    // Nobody is left to tell about a failed answer; the loop notices a broken output on
    // its own next write.
    if (response)
      (void)write_message(writer, *response, release);
  });
  if (no_memory && id && !released) {
    (void)write_message(
        writer, error_response(std::move(*id), {INTERNAL_ERROR, std::string(NO_MEMORY)}), release);
  }
  if (!released)
    release_slot();
}

}  // namespace

Result<void> write_message(ResponseWriter& writer, const JsonValue& message) {
  return write_message(writer, message, {});
}

Result<void> write_message(ResponseWriter& writer, const JsonValue& message,
                           const std::function<void()>& before_write) {
  // Rendered before the lock: a large answer must not hold up the others' writes.
  std::string text;
  text.reserve(FIRST_MESSAGE_BYTES);
  render_compact(message, &text);
  text.push_back('\n');
  MutexLock lock(writer.mutex_);
  if (before_write)
    before_write();
  // Plain write(2) keeps no user-space buffer, so the text is flushed once it is out.
  Result<void> written = write_all(writer.fd_, text.data(), text.size());
  if (text.size() >= LARGE_MESSAGE_BYTES)
    note_large_message_end();
  return written;
}

Result<void> serve_lines(int input_fd, ResponseWriter& writer, const RequestHandler& handle) {
  // A request gives its slot back just before its answer goes out, so an agent that sends
  // the next request on reading an answer is never told that 16 are running when it has
  // 15 outstanding.
  RequestThreads running(
      MAX_RUNNING_REQUESTS,
      [&handle, &writer](JsonValue request, const std::function<void()>& release_slot) {
        answer_request(handle, writer, std::move(request), release_slot);
      });
  Result<void> outcome;
  {
    LineReader input(input_fd);
    LineBuffer line(LINE_BUDGET_BYTES, KEPT_LINE_CAPACITY_BYTES);
    for (;;) {
      line.clear();
      LineStatus status = input.read_line(&line);
      if (status == LineStatus::End)
        break;
      if (status == LineStatus::Failed) {
        outcome = input.failure();
        break;
      }
      std::optional<JsonValue> answer;
      if (status == LineStatus::TooLong || status == LineStatus::NoMemory) {
        line.clear();
        if (!input.skip_line()) {
          outcome = input.failure();
          break;
        }
        answer = status == LineStatus::TooLong
                     ? error_response(nullptr, {PARSE_ERROR, too_large_message()})
                     : error_response(nullptr, {INTERNAL_ERROR, std::string(NO_MEMORY)});
      } else if (is_blank_line(line.view())) {
        continue;
      } else {
        // The line feed is parsed too, so running out of input is reported on the line after.
        std::optional<Result<JsonValue>> parsed =
            unless_out_of_memory([&] { return parse_json(line.view()); });
        line.clear();
        if (!parsed) {
          // What the parse held is freed by now; the id is unknown, as for a line not JSON.
          answer = error_response(nullptr, {INTERNAL_ERROR, std::string(NO_MEMORY)});
        } else if (!parsed->ok()) {
          answer = error_response(nullptr, {PARSE_ERROR, parsed->error()});
        } else if (!(*parsed)->as_object()) {
          answer = error_response(nullptr, {INVALID_REQUEST, std::string(NOT_AN_OBJECT)});
        } else if (!running.try_admit()) {
          // A request without an id expects no answer, not even this one.
          if (const JsonValue* id = (*parsed)->find("id")) {
            answer = error_response(*id, {SERVER_BUSY, busy_message()});
          }
        } else {
          std::optional<JsonValue> id;
          if (const JsonValue* given = (*parsed)->find("id"))
            id = *given;
          // A thread the system refuses fails this request alone; serving goes on.
          Result<void> started = running.run(std::move(*parsed).take());
          if (!started.ok() && id)
            answer = error_response(std::move(*id), {INTERNAL_ERROR, started.error()});
        }
      }
      if (answer) {
        Result<void> written = write_message(writer, *answer);
        if (!written.ok()) {
          outcome = written;
          break;
        }
      }
    }
  }
  running.finish();
  return outcome;
}

Result<void> serve_stdio(Gateway& gateway) {
  ResponseWriter writer(STDOUT_FILENO);
  return serve_lines(STDIN_FILENO, writer, [&gateway](JsonValue request) {
    return handle_request(gateway, std::move(request));
  });
}

}  // namespace brask
