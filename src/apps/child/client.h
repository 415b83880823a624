// client.h: the MCP client side of one `AppConnection`: requests with a fixed
// deadline, notifications, answers to the app's own requests, the tool-list change
// flag and the `initialize` handshake. Starts nothing; runs on the one thread that
// holds the connection (the starting thread, later the slot's connection lock holder).
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "apps/child/channel.h"
#include "base/result.h"
#include "json/json.h"

namespace brask {

inline constexpr int INITIALIZE_TIMEOUT_SECS = 60;

// Sends one request and waits for the response with its id, answering the app's
// own requests meanwhile. The deadline is fixed before the request is sent: waiting
// for room to send it, or to answer the app, counts against the time-out. Failures:
// `ended` as it was (nothing sent); a send failure; "the app did not answer
// `{method}` within {seconds}s", "the app's MCP connection ended", a `closed` reason,
// "the app sent a message larger than {MAX_APP_LINE_BYTES} bytes", DROPPED_LINE_REASON (each also
// set as `ended`); "the app's answer to `{method}` is not valid JSON: {fault}" for an
// answer that does not parse, the app's error "message" or "the app returned an error"
// (these three leave `ended` alone).
// Success: the response's "result", null when it has none.
Result<JsonValue> request(AppConnection& connection, std::string_view method, JsonValue params,
                          std::chrono::nanoseconds timeout);

// Queues a notification; does not look at `ended`. Failure: the send failure text.
Result<void> notify(AppConnection& connection, std::string_view method, JsonValue params);

// True when `message` was a request of the app (it has "id" and "method") and has
// been answered: {} for "ping", -32601 "not supported by the Brask gateway" for any
// other method. The answer waits for room until `deadline`. Failure: the send failure
// text.
Result<bool> answer_app_request(AppConnection& connection, const JsonValue& message,
                                std::chrono::steady_clock::time_point deadline);

// How long an answer to the app waits for room outside a request: long enough for a
// writer a moment behind a burst, short enough that an app that stopped reading
// delays nothing.
inline constexpr std::chrono::milliseconds IDLE_ANSWER_WAIT{20};

// Takes every event already waiting without waiting for more, answering app requests
// (each waiting at most IDLE_ANSWER_WAIT, none once the connection has ended) and
// recording ends in `ended`. Returns whether the app announced a tool-list change
// since the last poll, and clears that flag.
bool poll(AppConnection& connection);

// The `initialize` request and the "notifications/initialized" notification.
// Returns the app's `initialize` result unexamined, or the failure of either step.
Result<JsonValue> handshake(
    AppConnection& connection,
    std::chrono::nanoseconds timeout = std::chrono::seconds(INITIALIZE_TIMEOUT_SECS));

}  // namespace brask
