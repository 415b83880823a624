// channel_bench: the round trip of one tools/call to bin/fake-app's "echo" tool through an
// `AppConnection` (queue, writer thread, reader thread, event queue), against the same
// exchange done by this program directly over the child's pipes: render, write, read,
// frame, parse. A small argument and an 8 MB one. Results: bench/README.md.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "apps/child/client.h"
#include "apps/child/spawn.h"
#include "apps/child/tools.h"
#include "json/parse.h"
#include "json/render.h"

namespace brask {
namespace {

constexpr size_t BIG_ARGUMENT_BYTES = 8 << 20;

AppEntry echo_app() {
  return AppEntry{"fake", "Fake", BRASK_BIN_DIR "/fake-app", {}};
}

JsonValue arguments_of(size_t bytes) {
  return JsonObject{{"data", std::string(bytes, 'a')}};
}

void check_echo(benchmark::State& state, const JsonValue& result, const JsonValue& arguments) {
  const JsonValue* echoed = result.find("structuredContent");
  if (!echoed || !(*echoed == arguments))
    state.SkipWithError("the echo came back wrong");
}

void BM_ChannelCall(benchmark::State& state) {
  Result<AppConnection> connection = start_app(echo_app());
  if (!connection.ok()) {
    state.SkipWithError(connection.error().c_str());
    return;
  }
  const JsonValue arguments = arguments_of(static_cast<size_t>(state.range(0)));
  JsonValue last;
  for (auto _ : state) {
    Result<JsonValue> result = call_tool(*connection, "echo", arguments, std::chrono::seconds(60));
    if (!result.ok()) {
      state.SkipWithError(result.error().c_str());
      return;
    }
    last = std::move(result).take();
    benchmark::DoNotOptimize(last);
  }
  check_echo(state, last, arguments);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) * 2);
}

// The same exchange with no threads or queues: this thread writes the request and reads
// the child's output itself.
class DirectApp {
 public:
  explicit DirectApp(SpawnedChild child) : child_(std::move(child)) {}

  Result<JsonValue> call(const std::string& method, JsonValue params) {
    const uint64_t id = next_id_++;
    std::string line;
    line.reserve(128);
    render_compact(
        JsonObject{
            {"id", id}, {"jsonrpc", "2.0"}, {"method", method}, {"params", std::move(params)}},
        &line);
    line.push_back('\n');
    Result<void> written = write_all(child_.to_child.get(), line.data(), line.size());
    if (!written.ok())
      return written.failure();
    for (;;) {
      size_t newline;
      while ((newline = pending_.find('\n', scanned_)) == std::string::npos) {
        scanned_ = pending_.size();
        char buffer[READ_BUFFER_BYTES];
        ssize_t n = read_retry(child_.from_child.get(), buffer, sizeof buffer);
        if (n <= 0)
          return fail("the app closed its output");
        pending_.append(buffer, static_cast<size_t>(n));
      }
      Result<JsonValue> message = parse_json(std::string_view(pending_).substr(0, newline));
      pending_.erase(0, newline + 1);
      scanned_ = 0;
      if (!message.ok())
        continue;
      const JsonValue* got = message->find("id");
      if (got && got->as_unsigned() && *got->as_unsigned() == id) {
        return std::move(*message).take("result");
      }
    }
  }

 private:
  SpawnedChild child_;
  uint64_t next_id_ = 1;
  std::string pending_;
  size_t scanned_ = 0;  // bytes of `pending_` known to hold no "\n"
};

void BM_DirectCall(benchmark::State& state) {
  Result<SpawnedChild> child = spawn_child(echo_app());
  if (!child.ok()) {
    state.SkipWithError(child.error().c_str());
    return;
  }
  DirectApp app(std::move(child).take());
  Result<JsonValue> initialized = app.call("initialize", JsonObject());
  if (!initialized.ok()) {
    state.SkipWithError(initialized.error().c_str());
    return;
  }
  const JsonValue arguments = arguments_of(static_cast<size_t>(state.range(0)));
  JsonValue last;
  for (auto _ : state) {
    Result<JsonValue> result =
        app.call("tools/call", JsonObject{{"arguments", arguments}, {"name", "echo"}});
    if (!result.ok()) {
      state.SkipWithError(result.error().c_str());
      return;
    }
    last = std::move(result).take();
    benchmark::DoNotOptimize(last);
  }
  check_echo(state, last, arguments);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) * 2);
}

BENCHMARK(BM_ChannelCall)
    ->Arg(16)
    ->Arg(BIG_ARGUMENT_BYTES)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DirectCall)
    ->Arg(16)
    ->Arg(BIG_ARGUMENT_BYTES)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace brask

BENCHMARK_MAIN();
