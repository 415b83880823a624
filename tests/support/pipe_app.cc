#include "support/pipe_app.h"

#include <gtest/gtest.h>

#include <chrono>

#include "json/render.h"

namespace brask::testing {

std::string describe(const AppEvent& event) {
  switch (event.kind) {
    case AppEvent::Kind::Message:
      return "message " + render_compact(event.message);
    case AppEvent::Kind::TooLarge:
      return "too_large";
    case AppEvent::Kind::Dropped:
      return "dropped " + event.reason;
    case AppEvent::Kind::Invalid:
      return "invalid " + render_compact(event.message) + " " + event.reason;
    case AppEvent::Kind::Closed:
      return "closed " + event.reason;
  }
  return "?";
}

PipeApp::PipeApp() {
  Result<Pipe> to_gateway = make_pipe();
  Result<Pipe> from_gateway = make_pipe();
  if (!to_gateway.ok() || !from_gateway.ok())
    return;
  app_out = std::move(to_gateway->write_end);
  app_in = std::move(from_gateway->read_end);
  app_in_lines = LineSource(app_in.get());
  Result<AppConnection> opened =
      open_channel(std::move(to_gateway->read_end), std::move(from_gateway->write_end));
  if (opened.ok())
    connection.emplace(std::move(opened).take());
}

PipeApp::~PipeApp() {
  connection.reset();
  app_out.reset();
  app_in.reset();
}

void PipeApp::app_writes(const std::string& text) {
  ASSERT_TRUE(write_all(app_out.get(), text.data(), text.size()).ok());
}

std::optional<std::string> PipeApp::app_reads(std::chrono::milliseconds limit) {
  return app_in_lines.read_line(limit);
}

std::string PipeApp::next_event() {
  Taken<AppEvent> taken =
      connection->events.take_until(std::chrono::steady_clock::now() + std::chrono::seconds(10));
  if (taken.status == TakeStatus::Empty)
    return "nothing";
  if (taken.status == TakeStatus::Disconnected)
    return "disconnected";
  return describe(*taken.item);
}

}  // namespace brask::testing
