// pipe_app.h: the test plays an app server over two pipes: it writes what the app
// would print and reads what the gateway sends, while the gateway side is a real
// `AppConnection` with its threads.
#pragma once

#include <optional>
#include <string>

#include "apps/child/channel.h"
#include "base/unique_fd.h"
#include "support/process.h"
#include "support/resources.h"

namespace brask::testing {

// "message {compact}", "too_large" or "closed {reason}".
std::string describe(const AppEvent& event);

class PipeApp {
 public:
  PipeApp();   // check ok() before use
  ~PipeApp();  // disposes of the connection, then closes the app's ends
  bool ok() const { return connection.has_value(); }

  // Writes `text` as the app's output.
  void app_writes(const std::string& text);
  // The next line the gateway sent, or nothing within `limit` or at the end.
  std::optional<std::string> app_reads(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // The next event described, "nothing" after 10 s, or "disconnected".
  std::string next_event();

  UniqueFd app_out;             // the app's standard output
  UniqueFd app_in;              // the app's standard input
  LineSource app_in_lines{-1};  // what the gateway sent, line by line
  std::optional<AppConnection> connection;
};

class PipeAppTest : public NoLeaksTest, public PipeApp {
 protected:
  void SetUp() override { ASSERT_TRUE(ok()); }
  void TearDown() override {
    connection.reset();
    app_out.reset();
    app_in.reset();
    NoLeaksTest::TearDown();
  }
};

}  // namespace brask::testing
