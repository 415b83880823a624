#include "apps/child/client.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "json/parse.h"
#include "json/render.h"
#include "support/pipe_app.h"

namespace brask {
namespace {

using namespace std::chrono_literals;
using ClientTest = testing::PipeAppTest;
using ClientOutcomes = testing::NoLeaksTest;

constexpr auto LONG = std::chrono::seconds(10);  // never reached when the app answers

std::string outcome(const Result<JsonValue>& r) {
  return r.ok() ? "ok " + render_compact(*r) : "failed " + r.error();
}

TEST_F(ClientOutcomes, EachAnswerShape) {
  const struct {
    const char* name;
    std::string app_output;
    bool app_closes;
    std::chrono::nanoseconds timeout;
    std::string want;
    std::optional<std::string> want_ended;
  } cases[] = {
      {"result", R"({"id":1,"jsonrpc":"2.0","result":{"x":1}})", false, LONG, R"(ok {"x":1})", {}},
      {"neither result nor error", R"({"id":1,"jsonrpc":"2.0"})", false, LONG, "ok null", {}},
      {"error beats result",
       R"({"error":{"code":-1,"message":"boom"},"id":1,"jsonrpc":"2.0","result":{}})",
       false,
       LONG,
       "failed boom",
       {}},
      {"null error",
       R"({"error":null,"id":1,"jsonrpc":"2.0"})",
       false,
       LONG,
       "failed the app returned an error",
       {}},
      {"error without message",
       R"({"error":{"code":-1},"id":1})",
       false,
       LONG,
       "failed the app returned an error",
       {}},
      {"error with a number as message",
       R"({"error":{"message":5},"id":1})",
       false,
       LONG,
       "failed the app returned an error",
       {}},
      {"other ids and noise are skipped",
       "{\"id\":2,\"result\":1}\n[]\n7\n{}\n{\"method\":\"notifications/progress\"}\n"
       "{\"id\":1,\"result\":\"mine\"}",
       false,
       LONG,
       "ok \"mine\"",
       {}},
      {"id as a string never matches", R"({"id":"1","result":{}})", false, 50ms,
       "failed the app did not answer `tools/call` within 0s",
       "the app did not answer `tools/call` within 0s"},
      {"id as 1.0 never matches", R"({"id":1.0,"result":{}})", false, 50ms,
       "failed the app did not answer `tools/call` within 0s",
       "the app did not answer `tools/call` within 0s"},
      {"whole seconds of the time-out", "", false, 1500ms,
       "failed the app did not answer `tools/call` within 1s",
       "the app did not answer `tools/call` within 1s"},
      {"app closes its output", "", true, LONG, "failed the app closed its MCP connection",
       "the app closed its MCP connection"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::PipeApp app;
    ASSERT_TRUE(app.ok());
    app.app_writes(c.app_output + "\n");
    if (c.app_closes)
      app.app_out.reset();
    Result<JsonValue> r = request(*app.connection, "tools/call", JsonObject(), c.timeout);
    EXPECT_EQ(outcome(r), c.want);
    EXPECT_EQ(app.connection->ended, c.want_ended);
    EXPECT_EQ(app.app_reads(), R"({"id":1,"jsonrpc":"2.0","method":"tools/call","params":{}})");
  }
}

TEST_F(ClientTest, AnswersTheAppsRequestsWhileWaiting) {
  app_writes(R"({"id":"p-1","jsonrpc":"2.0","method":"ping"})"
             "\n"
             R"({"id":{"odd":true},"jsonrpc":"2.0","method":"sampling/createMessage","params":{}})"
             "\n"
             R"({"id":1,"jsonrpc":"2.0","result":{}})"
             "\n");
  Result<JsonValue> r = request(*connection, "tools/list", JsonObject(), LONG);
  EXPECT_EQ(outcome(r), "ok {}");
  EXPECT_EQ(app_reads(), R"({"id":1,"jsonrpc":"2.0","method":"tools/list","params":{}})");
  EXPECT_EQ(app_reads(), R"({"id":"p-1","jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(app_reads(),
            R"({"error":{"code":-32601,"message":"not supported by the Brask gateway"},)"
            R"("id":{"odd":true},"jsonrpc":"2.0"})");
}

TEST_F(ClientTest, IdsCountUpAndStopAtTheTop) {
  const uint64_t top = std::numeric_limits<uint64_t>::max();
  for (uint64_t id : {uint64_t{1}, uint64_t{2}, top - 1, top, top}) {
    SCOPED_TRACE(id);
    if (id == top - 1)
      connection->next_id = id;
    app_writes("{\"id\":" + std::to_string(id) + ",\"result\":true}\n");
    EXPECT_EQ(outcome(request(*connection, "m", JsonValue(), LONG)), "ok true");
    EXPECT_EQ(app_reads(), "{\"id\":" + std::to_string(id) +
                               ",\"jsonrpc\":\"2.0\",\"method\":\"m\",\"params\":null}");
  }
}

TEST_F(ClientTest, AfterATimeOutRequestsFailAtOnceAndSendNothing) {
  const std::string text = "the app did not answer `slow` within 0s";
  EXPECT_EQ(outcome(request(*connection, "slow", JsonObject(), 10ms)), "failed " + text);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(outcome(request(*connection, "other", JsonObject(), LONG)), "failed " + text);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(connection->next_id, 2u);
  ASSERT_TRUE(notify(*connection, "notifications/x", JsonObject()).ok());
  EXPECT_EQ(app_reads(), R"({"id":1,"jsonrpc":"2.0","method":"slow","params":{}})");
  EXPECT_EQ(app_reads(), R"({"jsonrpc":"2.0","method":"notifications/x","params":{}})");
}

TEST_F(ClientTest, MessagesWhileWaitingDoNotMoveTheDeadline) {
  std::atomic<bool> stop{false};
  // Non-blocking: once the request has timed out nobody drains the pipe, and a blocked
  // write would never see `stop`.
  ASSERT_EQ(::fcntl(app_out.get(), F_SETFL, O_NONBLOCK), 0);
  std::thread chatter([this, &stop] {
    const std::string line = "{\"method\":\"notifications/progress\"}\n";
    // Bounded, so a deadline that moves shows as a slow request, not a hang.
    auto until = std::chrono::steady_clock::now() + 5s;
    while (!stop && std::chrono::steady_clock::now() < until) {
      // Shorter than PIPE_BUF, so each write puts the whole line or nothing.
      if (::write(app_out.get(), line.data(), line.size()) >= 0)
        continue;
      if (errno != EAGAIN)
        break;
      pollfd room{app_out.get(), POLLOUT, 0};
      (void)::poll(&room, 1, 10);
    }
  });
  auto start = std::chrono::steady_clock::now();
  Result<JsonValue> r = request(*connection, "tools/call", JsonObject(), 200ms);
  auto took = std::chrono::steady_clock::now() - start;
  stop = true;
  chatter.join();
  EXPECT_EQ(outcome(r), "failed the app did not answer `tools/call` within 0s");
  EXPECT_LT(took, 3s);
}

TEST_F(ClientTest, OverLongLineWhileWaitingEndsTheConnection) {
  std::thread app([this] {
    std::string line(MAX_APP_LINE_BYTES + 1, 'x');
    line += "\n{\"id\":1,\"result\":{}}\n";
    (void)write_all(app_out.get(), line.data(), line.size());
  });
  Result<JsonValue> r = request(*connection, "tools/call", JsonObject(), LONG);
  app.join();
  EXPECT_EQ(outcome(r), "failed the app sent a message larger than 67108864 bytes");
  EXPECT_EQ(connection->ended, "the app sent a message larger than 67108864 bytes");
}

TEST_F(ClientTest, HandshakeSendsExactBytes) {
  app_writes(R"({"id":1,"jsonrpc":"2.0","result":{"protocolVersion":"2025-06-18"}})"
             "\n");
  Result<JsonValue> r = handshake(*connection);
  EXPECT_EQ(outcome(r), R"(ok {"protocolVersion":"2025-06-18"})");
  EXPECT_EQ(app_reads(),
            R"({"id":1,"jsonrpc":"2.0","method":"initialize","params":{"capabilities":{},)"
            R"("clientInfo":{"name":"brask-ai-mcp","version":"0.1.0"},)"
            R"("protocolVersion":"2025-06-18"}})");
  EXPECT_EQ(app_reads(), R"({"jsonrpc":"2.0","method":"notifications/initialized","params":{}})");
}

TEST_F(ClientTest, HandshakeTimeOutNamesInitialize) {
  Result<JsonValue> r = handshake(*connection, 20ms);
  EXPECT_EQ(outcome(r), "failed the app did not answer `initialize` within 0s");
}

// A connection over queues the test holds itself, with no threads: what `poll` and
// `request` see is exactly what the test queued.
struct QueuedConnection {
  QueueEnds<std::string> out = make_queue<std::string>(OUTGOING_QUEUE_CAPACITY);
  QueueEnds<AppEvent> in = make_queue<AppEvent>(EVENT_QUEUE_CAPACITY);
  AppConnection connection{std::move(out.sender), std::move(in.receiver)};

  void app_sends(const std::string& json) {
    Result<JsonValue> v = parse_json(json);
    ASSERT_TRUE(v.ok()) << v.error();
    ASSERT_EQ(in.sender.try_put(AppEvent{AppEvent::Kind::Message, std::move(v).take(), {}}),
              PutStatus::Ok);
  }
  void event(AppEvent::Kind kind, std::string reason = {}) {
    ASSERT_EQ(in.sender.try_put(AppEvent{kind, JsonValue(), std::move(reason)}), PutStatus::Ok);
  }
  std::string sent() {
    Taken<std::string> line = out.receiver.try_take();
    return line.item ? *line.item : "(nothing)";
  }
};

TEST(ClientPoll, ReportsAToolListChangeOnceAndAnswersPings) {
  QueuedConnection q;
  q.app_sends(R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
  q.event(AppEvent::Kind::TooLarge);
  q.app_sends(R"({"id":9,"jsonrpc":"2.0","method":"ping"})");
  q.app_sends(R"({"id":3,"method":"notifications/tools/list_changed"})");  // a request
  EXPECT_TRUE(poll(q.connection));
  EXPECT_EQ(q.sent(), "{\"id\":9,\"jsonrpc\":\"2.0\",\"result\":{}}\n");
  EXPECT_EQ(q.sent(),
            "{\"error\":{\"code\":-32601,\"message\":\"not supported by the Brask gateway\"},"
            "\"id\":3,\"jsonrpc\":\"2.0\"}\n");
  EXPECT_FALSE(q.connection.ended);
  EXPECT_FALSE(poll(q.connection));
}

TEST(ClientPoll, RecordsEndsKeepingTheLatestReason) {
  QueuedConnection q;
  q.app_sends(R"({"method":"notifications/tools/list_changed"})");
  q.event(AppEvent::Kind::Closed, "first");
  q.event(AppEvent::Kind::Closed, "second");
  EXPECT_TRUE(poll(q.connection));
  EXPECT_EQ(q.connection.ended, "first");  // stops at an end; the rest stays queued
  EXPECT_FALSE(poll(q.connection));
  EXPECT_EQ(q.connection.ended, "second");
  q.in.sender.reset();
  EXPECT_FALSE(poll(q.connection));
  EXPECT_EQ(q.connection.ended, "second");
  q.connection.ended.reset();
  EXPECT_FALSE(poll(q.connection));
  EXPECT_EQ(q.connection.ended, "the app's MCP connection ended");
}

TEST(ClientPoll, GoesOnWhenAnAnswerCannotBeSent) {
  QueuedConnection q;
  q.out.receiver.reset();
  q.app_sends(R"({"id":1,"method":"ping"})");
  q.app_sends(R"({"method":"notifications/tools/list_changed"})");
  EXPECT_TRUE(poll(q.connection));
  EXPECT_EQ(q.connection.ended, "writing to the app failed");
}

TEST(ClientRequest, ChangeSeenWhileWaitingIsReportedByTheNextPoll) {
  QueuedConnection q;
  q.app_sends(R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
  q.app_sends(R"({"id":1,"result":{}})");
  ASSERT_TRUE(request(q.connection, "tools/call", JsonObject(), LONG).ok());
  EXPECT_TRUE(poll(q.connection));
  EXPECT_FALSE(poll(q.connection));
}

TEST(ClientRequest, EndedQueuesAndFailedSendsEndTheConnection) {
  const struct {
    const char* name;
    bool drop_outgoing;
    std::string want;
  } cases[] = {
      {"events disconnected", false, "the app's MCP connection ended"},
      {"writer gone", true, "writing to the app failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QueuedConnection q;
    q.in.sender.reset();
    if (c.drop_outgoing)
      q.out.receiver.reset();
    EXPECT_EQ(outcome(request(q.connection, "tools/list", JsonObject(), LONG)), "failed " + c.want);
    EXPECT_EQ(q.connection.ended, c.want);
  }
}

TEST(ClientRequest, EndedConnectionFailsWithoutSending) {
  QueuedConnection q;
  q.connection.ended = "gone";
  EXPECT_EQ(outcome(request(q.connection, "tools/list", JsonObject(), LONG)), "failed gone");
  EXPECT_EQ(q.sent(), "(nothing)");
  EXPECT_EQ(q.connection.next_id, 1u);
}

TEST(ClientRequest, FailedAnswerToTheAppEndsTheWait) {
  QueuedConnection q;
  // 63 lines wait and the request makes 64, so the ping reply finds no room.
  q.app_sends(R"({"id":"p","method":"ping"})");
  for (size_t i = 1; i < OUTGOING_QUEUE_CAPACITY; ++i) {
    ASSERT_EQ(q.connection.outgoing.try_put("x"), PutStatus::Ok);
  }
  // The reply waits for room until the request's own deadline.
  Result<JsonValue> r = request(q.connection, "tools/call", JsonObject(), 200ms);
  EXPECT_EQ(outcome(r), "failed writing to the app failed: it stopped reading");
}

}  // namespace
}  // namespace brask
