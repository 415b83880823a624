#include "apps/child/channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "json/render.h"
#include "support/pipe_app.h"
#include "support/resources.h"

namespace brask {
namespace {

using testing::describe;

std::vector<std::string> frame(const std::vector<std::string>& chunks, bool finish) {
  std::vector<std::string> seen;
  LineFramer framer;
  auto sink = [&seen](AppEvent&& event) {
    seen.push_back(describe(event));
    return true;
  };
  for (const std::string& chunk : chunks)
    framer.feed(chunk.data(), chunk.size(), sink);
  if (finish)
    framer.finish(sink);
  return seen;
}

std::vector<std::string> bytes_of(const std::string& text) {
  std::vector<std::string> chunks;
  for (char c : text)
    chunks.emplace_back(1, c);
  return chunks;
}

TEST(LineFramer, TurnsLinesIntoEvents) {
  const struct {
    const char* name;
    std::vector<std::string> chunks;
    bool finish;
    std::vector<std::string> want;
  } cases[] = {
      {"two lines in one write", {"{\"a\":1}\n[2]\n"}, false, {"message {\"a\":1}", "message [2]"}},
      {"one byte at a time", bytes_of("{\"k\":\"v\"}\n"), false, {"message {\"k\":\"v\"}"}},
      {"line split across writes",
       {"{\"k\":", "\"v\"}\n{", "}\n"},
       false,
       {"message {\"k\":\"v\"}", "message {}"}},
      {"crlf line ends", {"{\"a\":1}\r\n\"s\"\r\n"}, false, {"message {\"a\":1}", "message \"s\""}},
      {"blank lines", {"\n  \t\r\n\f\n\r\n"}, false, {}},
      {"log line skipped", {"log: starting up\n{\"ok\":true}\n"}, false, {"message {\"ok\":true}"}},
      {"scalars and arrays",
       {"42\nnull\n[1,\"x\"]\n"},
       false,
       {"message 42", "message null", "message [1,\"x\"]"}},
      {"two values on one line", {"1 2\n{}\n"}, false, {"message {}"}},
      {"last line without newline",
       {"{\"a\":1}\n{\"b\":2}"},
       true,
       {"message {\"a\":1}", "message {\"b\":2}"}},
      {"unfinished line kept until the end", {"{\"b\":2}"}, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(frame(c.chunks, c.finish), c.want);
  }
}

TEST(LineFramer, AcceptsExactlyTheLimitAndDropsLongerLines) {
  std::string exact = "\"" + std::string(MAX_APP_LINE_BYTES - 2, 'a') + "\"\n";
  std::string over = std::string(MAX_APP_LINE_BYTES + 1, 'x') + "\n";
  LineFramer framer;
  std::vector<AppEvent> events;
  auto sink = [&events](AppEvent&& event) {
    events.push_back(std::move(event));
    return true;
  };
  // Fed in read-sized pieces, as the reader thread does.
  for (const std::string* text : {&exact, &over}) {
    for (size_t at = 0; at < text->size(); at += READ_BUFFER_BYTES) {
      framer.feed(text->data() + at, std::min(READ_BUFFER_BYTES, text->size() - at), sink);
    }
  }
  framer.feed("{}\n", 3, sink);
  ASSERT_EQ(events.size(), 3u);
  ASSERT_EQ(events[0].kind, AppEvent::Kind::Message);
  ASSERT_NE(events[0].message.as_string(), nullptr);
  EXPECT_EQ(events[0].message.as_string()->size(), MAX_APP_LINE_BYTES - 2);
  EXPECT_EQ(events[1].kind, AppEvent::Kind::TooLarge);
  EXPECT_EQ(describe(events[2]), "message {}");
}

TEST(LineFramer, OverLongLastLineIsReportedAtEnd) {
  std::string over(MAX_APP_LINE_BYTES + 1, 'x');
  EXPECT_EQ(frame({over}, true), std::vector<std::string>{"too_large"});
}

TEST(LineFramer, StopsWhenTheSinkRefuses) {
  LineFramer framer;
  int calls = 0;
  std::string text = "1\n2\n3\n";
  EXPECT_FALSE(framer.feed(text.data(), text.size(), [&calls](AppEvent&&) {
    ++calls;
    return false;
  }));
  EXPECT_EQ(calls, 1);
}

using ChannelTest = testing::PipeAppTest;

TEST_F(ChannelTest, StartsWithItsInitialFields) {
  EXPECT_FALSE(connection->ended);
  EXPECT_EQ(connection->next_id, 1u);
  EXPECT_FALSE(connection->child);
  EXPECT_FALSE(connection->tools_changed);
}

TEST_F(ChannelTest, ReaderDeliversLinesThenTheEnd) {
  app_writes("{\"a\":1}\nnot json\n\n[1]\r\n{\"last\":true}");
  app_out.reset();
  EXPECT_EQ(next_event(), "message {\"a\":1}");
  EXPECT_EQ(next_event(), "message [1]");
  EXPECT_EQ(next_event(), "message {\"last\":true}");
  EXPECT_EQ(next_event(), "closed the app closed its MCP connection");
}

TEST_F(ChannelTest, ReaderWaitsWhileTheEventQueueIsFullAndLosesNothing) {
  const int count = static_cast<int>(EVENT_QUEUE_CAPACITY) + 44;
  std::string text;
  for (int i = 0; i < count; ++i)
    text += std::to_string(i) + "\n";
  app_writes(text);
  for (int i = 0; i < count; ++i)
    ASSERT_EQ(next_event(), "message " + std::to_string(i));
}

TEST_F(ChannelTest, SendMessageWritesCompactLinesInOrder) {
  JsonValue first = JsonObject{{"method", "a b"}, {"id", 1}, {"text", "line\nbreak"}};
  ASSERT_TRUE(send_message(*connection, first).ok());
  ASSERT_TRUE(send_message(*connection, JsonValue(JsonArray{1, 2.5, nullptr})).ok());
  EXPECT_EQ(app_reads(), "{\"id\":1,\"method\":\"a b\",\"text\":\"line\\nbreak\"}");
  EXPECT_EQ(app_reads(), "[1,2.5,null]");
}

TEST_F(ChannelTest, AppThatStopsReadingFailsTheSendWhenNoRoomComes) {
  // Big lines fill the pipe quickly; then the writer blocks on one and 64 wait.
  JsonValue line = std::string(4096, 'z');
  int sent = 0;
  Result<void> result;
  while ((result = send_message(*connection, line, std::chrono::steady_clock::now())).ok()) {
    ++sent;
    ASSERT_LT(sent, 10000) << "sending never failed";
  }
  EXPECT_GE(sent, static_cast<int>(OUTGOING_QUEUE_CAPACITY));
  EXPECT_EQ(result.error(), "writing to the app failed: it stopped reading");
  EXPECT_EQ(connection->ended, "writing to the app failed: it stopped reading");
}

TEST_F(ChannelTest, WriteToAGoneAppIsReportedThenSendsFail) {
  app_in.reset();
  ASSERT_TRUE(send_message(*connection, JsonValue(1)).ok());
  EXPECT_EQ(next_event(), "closed writing to the app failed: Broken pipe (os error 32)");
  app_out.reset();
  EXPECT_EQ(next_event(), "closed the app closed its MCP connection");
  EXPECT_EQ(next_event(), "disconnected");
  Result<void> result = send_message(*connection, JsonValue(2));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "writing to the app failed");
  EXPECT_EQ(connection->ended, "writing to the app failed");
}

TEST_F(ChannelTest, DisposingReleasesTheStreamsWithoutJoining) {
  connection.reset();
  // The writer saw its queue go and closed the app's input.
  EXPECT_EQ(app_reads(), std::nullopt);
  // The reader is woken too, though the app neither writes nor closes its output;
  // TearDown checks that its descriptor went.
}

}  // namespace
}  // namespace brask
