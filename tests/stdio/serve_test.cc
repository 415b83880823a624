#include "stdio/serve.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "json/parse.h"
#include "json/render.h"
#include "mcp/json_rpc.h"
#include "support/process.h"

namespace brask {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds DEADLINE{30000};

const std::string BUSY =
    R"({"error":{"code":-32000,"message":"16 requests are already running; try again when one finishes"},"id":)";

// Answers {"id":ID,"jsonrpc":"2.0","result":"handled"} to requests with an id. A
// request whose id is in `held` waits until the test releases it.
class Handler {
 public:
  std::optional<JsonValue> operator()(const JsonValue& request) {
    const JsonValue* id = request.find("id");
    MutexLock lock(mutex_);
    seen_.push_back(render_compact(request));
    ++entered_;
    changed_.notify_all();
    if (id) {
      std::string key = render_compact(*id);
      while (held_.count(key))
        changed_.wait(lock);
    }
    if (!id)
      return std::nullopt;
    return success_response(*id, "handled");
  }

  void hold(const std::string& id) {
    MutexLock lock(mutex_);
    held_.insert(id);
  }
  void release(const std::string& id) {
    MutexLock lock(mutex_);
    held_.erase(id);
    changed_.notify_all();
  }
  // True once `count` requests have reached the handler.
  bool wait_entered(size_t count) {
    MutexLock lock(mutex_);
    auto deadline = std::chrono::steady_clock::now() + DEADLINE;
    while (entered_ < count) {
      if (changed_.wait_until(lock, deadline) == std::cv_status::timeout)
        return entered_ >= count;
    }
    return true;
  }
  std::vector<std::string> seen() {
    MutexLock lock(mutex_);
    return seen_;
  }

 private:
  Mutex mutex_;
  std::condition_variable_any changed_;
  std::set<std::string> held_ GUARDED_BY(mutex_);
  std::vector<std::string> seen_ GUARDED_BY(mutex_);
  size_t entered_ GUARDED_BY(mutex_) = 0;
};

// serve_lines on a thread of its own, over two pipes the test holds the other ends of.
class Loop {
 public:
  explicit Loop(Handler* handler) {
    auto in = make_pipe();
    auto out = make_pipe();
    EXPECT_TRUE(in.ok() && out.ok());
    input_ = std::move(in->write_end);
    output_ = std::move(out->read_end);
    lines_ = testing::LineSource(output_.get());
    thread_ = std::thread([this, handler, read_end = std::move(in->read_end),
                           write_end = std::move(out->write_end)]() mutable {
      ResponseWriter writer(write_end.get());
      outcome_ = serve_lines(read_end.get(), writer,
                             [handler](const JsonValue& request) { return (*handler)(request); });
      // Closing our end of the output here tells the reader that serving is over.
      write_end.reset();
    });
  }
  ~Loop() {
    input_.reset();
    if (thread_.joinable())
      thread_.join();
  }

  void write(std::string_view text) {
    ASSERT_TRUE(write_all(input_.get(), text.data(), text.size()).ok());
  }
  std::string read_line() { return lines_.read_line(DEADLINE).value_or("(no line)"); }
  void close_output() {
    lines_.detach();
    output_.reset();
  }
  // Closes the input and waits for serve_lines to return.
  Result<void> finish() {
    input_.reset();
    thread_.join();
    return outcome_;
  }
  // Every line still to come, in order.
  std::vector<std::string> rest() {
    std::vector<std::string> lines;
    while (auto line = lines_.read_line(DEADLINE))
      lines.push_back(*line);
    return lines;
  }

 private:
  UniqueFd input_;
  UniqueFd output_;
  testing::LineSource lines_{-1};
  std::thread thread_;
  Result<void> outcome_;
};

TEST(ServeLines, AnswersLinesThatAreNoRequestObject) {
  const struct {
    std::string_view input;
    std::vector<std::string> want;
  } cases[] = {
      {"\n \n\t\r\n\f\n\r\n", {}},
      {"\v\n",
       {R"({"error":{"code":-32700,"message":"expected value at line 1 column 1"},"id":null,"jsonrpc":"2.0"})"}},
      {"[]\n",
       {R"({"error":{"code":-32600,"message":"a request must be one JSON object"},"id":null,"jsonrpc":"2.0"})"}},
      {"null\n\"x\"\n",
       {R"({"error":{"code":-32600,"message":"a request must be one JSON object"},"id":null,"jsonrpc":"2.0"})",
        R"({"error":{"code":-32600,"message":"a request must be one JSON object"},"id":null,"jsonrpc":"2.0"})"}},
      // The line feed is parsed with the line, so running out names the next line.
      {"{\n",
       {R"({"error":{"code":-32700,"message":"EOF while parsing an object at line 2 column 0"},"id":null,"jsonrpc":"2.0"})"}},
      {"[1] x\n",
       {R"({"error":{"code":-32700,"message":"trailing characters at line 1 column 5"},"id":null,"jsonrpc":"2.0"})"}},
      // A last line without a line feed is still a line.
      {"\n7",
       {R"({"error":{"code":-32600,"message":"a request must be one JSON object"},"id":null,"jsonrpc":"2.0"})"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.input));
    Handler handler;
    Loop loop(&handler);
    loop.write(c.input);
    Result<void> outcome = loop.finish();
    EXPECT_TRUE(outcome.ok());
    EXPECT_EQ(loop.rest(), c.want);
    EXPECT_TRUE(handler.seen().empty());
  }
}

TEST(ServeLines, HandsEveryRequestObjectToTheHandler) {
  Handler handler;
  Loop loop(&handler);
  loop.write("{\"id\":1}\n{\"method\":\"x\"}\n  {\"id\":\"two\"}  \r\n{\"id\":[3]}\n{\"id\":4}");
  ASSERT_TRUE(loop.finish().ok());
  std::vector<std::string> lines = loop.rest();
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{R"({"id":"two","jsonrpc":"2.0","result":"handled"})",
                                             R"({"id":1,"jsonrpc":"2.0","result":"handled"})",
                                             R"({"id":4,"jsonrpc":"2.0","result":"handled"})",
                                             R"({"id":[3],"jsonrpc":"2.0","result":"handled"})"}));
  EXPECT_EQ(handler.seen().size(), 5u);
}

TEST(ServeLines, RefusesRequestsBeyondSixteenAndAdmitsAgainWhenOneEnds) {
  Handler handler;
  for (int id = 101; id <= 116; ++id)
    handler.hold(std::to_string(id));
  Loop loop(&handler);
  for (int id = 101; id <= 116; ++id)
    loop.write("{\"id\":" + std::to_string(id) + "}\n");
  ASSERT_TRUE(handler.wait_entered(16));

  // Requests the loop refuses are dropped; only those with an id hear about it.
  loop.write("{\"id\":7}\n{\"method\":\"dropped\"}\n{\"id\":[1,2]}\n{\"id\":null}\n");
  EXPECT_EQ(loop.read_line(), BUSY + "7,\"jsonrpc\":\"2.0\"}");
  EXPECT_EQ(loop.read_line(), BUSY + "[1,2],\"jsonrpc\":\"2.0\"}");
  EXPECT_EQ(loop.read_line(), BUSY + "null,\"jsonrpc\":\"2.0\"}");

  handler.release("101");
  EXPECT_EQ(loop.read_line(), R"({"id":101,"jsonrpc":"2.0","result":"handled"})");
  // The slot is given back before the answer goes out, so a request sent on reading it
  // is admitted, every time.
  for (int id = 200; id < 300; ++id) {
    loop.write("{\"id\":" + std::to_string(id) + "}\n");
    EXPECT_EQ(loop.read_line(),
              "{\"id\":" + std::to_string(id) + ",\"jsonrpc\":\"2.0\",\"result\":\"handled\"}");
  }

  for (int id = 102; id <= 116; ++id)
    handler.release(std::to_string(id));
  ASSERT_TRUE(loop.finish().ok());
  EXPECT_EQ(loop.rest().size(), 15u);
  for (const std::string& request : handler.seen())
    EXPECT_NE(request, R"({"method":"dropped"})");
}

TEST(ServeLines, AnswersAdmittedRequestsAfterInputEnds) {
  Handler handler;
  for (const char* id : {"1", "2", "3"})
    handler.hold(id);
  Loop loop(&handler);
  loop.write("{\"id\":1}\n{\"id\":2}\n{\"id\":3}\n");
  ASSERT_TRUE(handler.wait_entered(3));
  std::thread finisher([&] {
    for (const char* id : {"1", "2", "3"})
      handler.release(id);
  });
  Result<void> outcome = loop.finish();
  finisher.join();
  EXPECT_TRUE(outcome.ok());
  // serve_lines has returned, so every answer is already in the pipe.
  EXPECT_EQ(loop.rest().size(), 3u);
}

// Request threads are kept and handed request after request: bursts that fill all sixteen
// slots and are refused beyond them, quick requests racing the slots given back, and a
// last burst still running when input ends. Every request is answered exactly once.
TEST(ServeLines, KeptThreadsAnswerEveryRequestOnceThroughBursts) {
  Handler handler;
  Loop loop(&handler);
  std::map<std::string, std::vector<std::string>> answers;  // id -> its answer lines
  auto take_answers = [&](size_t count) {
    for (size_t i = 0; i < count; ++i) {
      std::string line = loop.read_line();
      Result<JsonValue> parsed = parse_json(line);
      ASSERT_TRUE(parsed.ok()) << line;
      ASSERT_NE(parsed->find("id"), nullptr) << line;
      answers[render_compact(*parsed->find("id"))].push_back(line);
    }
  };
  int next_id = 1000;
  size_t entered = 0;
  auto burst = [&](std::string* text) {
    std::vector<std::string> ids;
    for (size_t i = 0; i < MAX_RUNNING_REQUESTS; ++i) {
      ids.push_back(std::to_string(next_id++));
      handler.hold(ids.back());
      *text += "{\"id\":" + ids.back() + "}\n";
    }
    entered += MAX_RUNNING_REQUESTS;
    return ids;
  };
  constexpr int BURSTS = 60, REFUSED = 4, QUICK = 30;
  for (int round = 0; round < BURSTS; ++round) {
    std::string text;
    std::vector<std::string> held = burst(&text);
    for (int i = 0; i < REFUSED; ++i)
      text += "{\"id\":" + std::to_string(next_id++) + "}\n";
    loop.write(text);
    ASSERT_TRUE(handler.wait_entered(entered));
    take_answers(REFUSED);
    text.clear();
    for (int i = 0; i < QUICK; ++i)
      text += "{\"id\":" + std::to_string(next_id++) + "}\n";
    for (const std::string& id : held)
      handler.release(id);
    loop.write(text);
    take_answers(MAX_RUNNING_REQUESTS + QUICK);
    entered = handler.seen().size();
  }
  std::string text;
  std::vector<std::string> held = burst(&text);
  loop.write(text);
  ASSERT_TRUE(handler.wait_entered(entered));
  std::thread finisher([&] {
    for (const std::string& id : held)
      handler.release(id);
  });
  Result<void> outcome = loop.finish();
  finisher.join();
  EXPECT_TRUE(outcome.ok());
  take_answers(MAX_RUNNING_REQUESTS);
  EXPECT_TRUE(loop.rest().empty());

  ASSERT_EQ(answers.size(), static_cast<size_t>(next_id - 1000));
  size_t refused = 0;
  for (const auto& [id, lines] : answers) {
    ASSERT_EQ(lines.size(), 1u) << id;
    if (lines[0].rfind(BUSY, 0) == 0)
      ++refused;
    else
      EXPECT_EQ(lines[0], "{\"id\":" + id + ",\"jsonrpc\":\"2.0\",\"result\":\"handled\"}");
  }
  EXPECT_GE(refused, static_cast<size_t>(BURSTS * REFUSED));
  EXPECT_EQ(handler.seen().size(), answers.size() - refused);
}

TEST(ServeLines, StopsWhenItsOwnAnswerCannotBeWritten) {
  signal(SIGPIPE, SIG_IGN);
  Handler handler;
  Loop loop(&handler);
  loop.close_output();
  // Answers of request threads fail quietly and reading goes on.
  loop.write("{\"id\":1}\n{\"id\":2}\n");
  ASSERT_TRUE(handler.wait_entered(2));
  loop.write("[]\n");
  Result<void> outcome = loop.finish();
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error(), "Broken pipe (os error 32)");
}

TEST(ServeLines, RequestThreadWriteFailuresDoNotStopServing) {
  signal(SIGPIPE, SIG_IGN);
  Handler handler;
  Loop loop(&handler);
  loop.close_output();
  loop.write("{\"id\":1}\n{\"id\":2}\n{\"method\":\"n\"}\n");
  EXPECT_TRUE(loop.finish().ok());
  EXPECT_EQ(handler.seen().size(), 3u);
}

TEST(ServeLines, ReadFailuresEndServing) {
  Handler handler;
  auto out = make_pipe();
  ASSERT_TRUE(out.ok());
  ResponseWriter writer(out->write_end.get());
  auto handle = [&handler](const JsonValue& request) { return handler(request); };

  // A descriptor that is not open reads as an empty input.
  EXPECT_TRUE(serve_lines(-1, writer, handle).ok());

  UniqueFd folder(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(folder.valid());
  Result<void> outcome = serve_lines(folder.get(), writer, handle);
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error(), "Is a directory (os error 21)");
}

}  // namespace
}  // namespace brask
