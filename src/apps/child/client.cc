#include "apps/child/client.h"

#include <limits>
#include <string>
#include <utility>

#include "base/program.h"

namespace brask {
namespace {

constexpr std::string_view TOOLS_CHANGED_METHOD = "notifications/tools/list_changed";

// Whether `message` answers the request with `id`: only a non-negative integer
// number matches; "1" and 1.0 do not.
bool is_response_to(const JsonValue& message, uint64_t id) {
  const JsonValue* got = message.find("id");
  return got && got->as_unsigned() && *got->as_unsigned() == id;
}

bool is_tools_changed(const JsonValue& message) {
  if (message.find("id"))
    return false;
  const JsonValue* method = message.find("method");
  return method && method->as_string() && *method->as_string() == TOOLS_CHANGED_METHOD;
}

Failure end_with(AppConnection& connection, std::string text) {
  connection.ended = text;
  return fail(std::move(text));
}

std::string timeout_text(std::string_view method, std::chrono::nanoseconds timeout) {
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout).count();
  return "the app did not answer `" + std::string(method) + "` within " + std::to_string(seconds) +
         "s";
}

}  // namespace

Result<JsonValue> request(AppConnection& connection, std::string_view method, JsonValue params,
                          std::chrono::nanoseconds timeout) {
  if (connection.ended)
    return fail(*connection.ended);
  const uint64_t id = connection.next_id;
  if (connection.next_id != std::numeric_limits<uint64_t>::max())
    ++connection.next_id;

  JsonObject message;
  message.set("id", JsonValue(id));
  message.set("jsonrpc", "2.0");
  message.set("method", std::string(method));
  message.set("params", std::move(params));
  // Fixed here: nothing that arrives while waiting moves it, and waiting for room to
  // send counts against it too.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  Result<void> sent = send_message(connection, JsonValue(std::move(message)), deadline);
  if (!sent.ok())
    return sent.failure();

  for (;;) {
    Taken<AppEvent> taken = connection.events.take_until(deadline);
    if (taken.status == TakeStatus::Empty)
      return end_with(connection, timeout_text(method, timeout));
    if (taken.status == TakeStatus::Disconnected) {
      return end_with(connection, "the app's MCP connection ended");
    }
    AppEvent& event = *taken.item;
    if (event.kind == AppEvent::Kind::Closed)
      return end_with(connection, std::move(event.reason));
    if (event.kind == AppEvent::Kind::TooLarge) {
      return end_with(connection, "the app sent a message larger than " +
                                      std::to_string(MAX_APP_LINE_BYTES) + " bytes");
    }
    // The lost line may have been the answer: the call fails, as for a line too large.
    if (event.kind == AppEvent::Kind::Dropped)
      return end_with(connection, std::move(event.reason));
    if (event.kind == AppEvent::Kind::Invalid) {
      if (event.message.as_unsigned() == nullptr || *event.message.as_unsigned() != id)
        continue;
      return fail("the app's answer to `" + std::string(method) +
                  "` is not valid JSON: " + event.reason);
    }
    JsonValue& m = event.message;
    Result<bool> answered = answer_app_request(connection, m, deadline);
    if (!answered.ok())
      return answered.failure();
    // Anything that is not an object, or lacks the members looked at here, is passed over.
    if (*answered)
      continue;
    if (m.find("id")) {
      if (!is_response_to(m, id))
        continue;
      if (const JsonValue* error = m.find("error")) {
        const JsonValue* text = error->find("message");
        if (text && text->as_string())
          return fail(std::string(*text->as_string()));
        return fail("the app returned an error");
      }
      return std::move(m).take("result");
    }
    if (is_tools_changed(m))
      connection.tools_changed = true;
  }
}

Result<void> notify(AppConnection& connection, std::string_view method, JsonValue params) {
  JsonObject message;
  message.set("jsonrpc", "2.0");
  message.set("method", std::string(method));
  message.set("params", std::move(params));
  return send_message(connection, JsonValue(std::move(message)));
}

Result<bool> answer_app_request(AppConnection& connection, const JsonValue& message,
                                std::chrono::steady_clock::time_point deadline) {
  const JsonValue* id = message.find("id");
  const JsonValue* method = message.find("method");
  if (!id || !method)
    return false;
  JsonObject reply;
  reply.set("id", *id);
  reply.set("jsonrpc", "2.0");
  if (method->as_string() && *method->as_string() == "ping") {
    reply.set("result", JsonObject());
  } else {
    reply.set("error", JsonObject{{"code", METHOD_NOT_FOUND},
                                  {"message", "not supported by the Brask gateway"}});
  }
  Result<void> sent = send_message(connection, JsonValue(std::move(reply)), deadline);
  if (!sent.ok())
    return sent.failure();
  return true;
}

bool poll(AppConnection& connection) {
  for (;;) {
    Taken<AppEvent> taken = connection.events.try_take();
    if (taken.status == TakeStatus::Empty)
      break;
    if (taken.status == TakeStatus::Disconnected) {
      if (!connection.ended)
        connection.ended = "the app's MCP connection ended";
      break;
    }
    AppEvent& event = *taken.item;
    if (event.kind == AppEvent::Kind::Closed) {
      connection.ended = std::move(event.reason);
      break;  // later events stay queued
    }
    if (event.kind != AppEvent::Kind::Message)
      continue;
    // Nobody waits on the app here: an answer finds room almost at once, or the app has
    // stopped reading, the connection is ended, and no more answers are tried.
    if (!connection.ended) {
      Result<bool> answered = answer_app_request(
          connection, event.message, std::chrono::steady_clock::now() + IDLE_ANSWER_WAIT);
      if (answered.ok() && *answered)
        continue;
    }
    if (is_tools_changed(event.message))
      connection.tools_changed = true;
  }
  return std::exchange(connection.tools_changed, false);
}

Result<JsonValue> handshake(AppConnection& connection, std::chrono::nanoseconds timeout) {
  JsonValue params = JsonObject{
      {"capabilities", JsonObject()},
      {"clientInfo",
       JsonObject{{"name", std::string(PROGRAM_NAME)}, {"version", std::string(PROGRAM_VERSION)}}},
      {"protocolVersion", std::string(PROTOCOL_VERSION)}};
  Result<JsonValue> initialized = request(connection, "initialize", std::move(params), timeout);
  if (!initialized.ok())
    return initialized;
  Result<void> sent = notify(connection, "notifications/initialized", JsonObject());
  if (!sent.ok())
    return sent.failure();
  return initialized;
}

}  // namespace brask
