// json_bench: parse and compact-render throughput of the JSON layer on five generated
// payloads, side by side with RapidJSON's DOM parser and writer when its headers are
// present, plus the memory a parsed document holds and the peak while parsing (resident
// memory, so that malloc'd arenas and parse stacks count whoever allocates them).
// Results and how to run: bench/README.md.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "json/parse.h"
#include "json/render.h"

#if defined(BRASK_HAVE_RAPIDJSON)
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#endif

namespace {

// Heap accounting for the memory figures. Off during timed loops. Counts what malloc
// really hands out (usable size plus its 8-byte header), so many small blocks cost
// what they cost.
struct HeapTally {
  bool on = false;
  int64_t now = 0;
  int64_t peak = 0;
};
HeapTally tally;  // single-threaded benchmark; only the memory probes switch it on

void note_alloc(void* p) {
  if (!tally.on || p == nullptr)
    return;
  tally.now += static_cast<int64_t>(malloc_usable_size(p) + sizeof(size_t));
  tally.peak = std::max(tally.peak, tally.now);
}
void note_free(void* p) {
  if (!tally.on || p == nullptr)
    return;
  tally.now -= static_cast<int64_t>(malloc_usable_size(p) + sizeof(size_t));
}

}  // namespace

// Out of line: once inlined, g++ sees `free` on memory from `new` and warns.
[[gnu::noinline]] void* operator new(size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr)
    throw std::bad_alloc();
  note_alloc(p);
  return p;
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  note_free(p);
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept {
  note_free(p);
  std::free(p);
}

namespace {

using brask::JsonValue;

// Deterministic pseudo-random numbers (a 64-bit LCG), so every run sees the same payloads.
struct Lcg {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  uint64_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 11;
  }
  size_t below(size_t n) { return static_cast<size_t>(next() % n); }
};

const char* const WORDS[] = {"open",   "the",    "file",   "and",   "read",  "image",  "layer",
                             "export", "render", "colour", "brush", "path",  "select", "scale",
                             "rotate", "canvas", "tool",   "list",  "apply", "filter", "mask"};

std::string words(Lcg& rng, size_t count) {
  std::string s;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0)
      s += ' ';
    s += WORDS[rng.below(std::size(WORDS))];
  }
  return s;
}

// A tools/list result: 5,200 tools with nested input schemas, about 5 MB.
std::string tools_list_payload() {
  Lcg rng;
  std::string s = R"({"jsonrpc":"2.0","id":7,"result":{"tools":[)";
  for (int t = 0; t < 5200; ++t) {
    if (t > 0)
      s += ',';
    s += R"({"name":"tool_)" + std::to_string(t) + R"(","title":")" + words(rng, 3) +
         R"(","description":")" + words(rng, 12 + rng.below(20)) +
         R"(","inputSchema":{"type":"object","properties":{)";
    size_t props = 3 + rng.below(6);
    for (size_t p = 0; p < props; ++p) {
      if (p > 0)
        s += ',';
      s += "\"" + std::string(WORDS[rng.below(std::size(WORDS))]) + "_" + std::to_string(p) + "\":";
      switch (rng.below(4)) {
        case 0:
          s += R"({"type":"string","description":")" + words(rng, 6 + rng.below(10)) + "\"}";
          break;
        case 1:
          s += R"({"type":"integer","minimum":0,"maximum":)" + std::to_string(rng.below(100000)) +
               R"(,"default":)" + std::to_string(rng.below(100)) + "}";
          break;
        case 2:
          s += R"({"type":"string","enum":["fast","slow","auto","none"],"default":"auto"})";
          break;
        default:
          s += R"({"type":"object","properties":{"recursive":{"type":"boolean","default":false},)"
               R"("ratio":{"type":"number","minimum":0.0,"maximum":1.5,"default":0.25}},)"
               R"("required":["recursive"],"additionalProperties":false})";
      }
    }
    s +=
        R"(},"required":["path","mode"]},"annotations":{"readOnlyHint":true,"openWorldHint":false}})";
  }
  s += R"(],"nextCursor":null}})";
  return s;
}

// One 20 MB line of small numbers: the densest nodes per input byte.
std::string zeros_payload() {
  std::string s = "[0";
  while (s.size() < (20u << 20))
    s += ",0";
  s += ']';
  return s;
}

// A tool result holding one 20 MB base64 string.
std::string base64_payload() {
  static constexpr char ALPHABET[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  Lcg rng;
  std::string data(20u << 20, 'A');
  for (char& c : data)
    c = ALPHABET[rng.next() & 63];
  return R"({"jsonrpc":"2.0","id":9,"result":{"content":[{"type":"image","mimeType":"image/png","data":")" +
         data + R"("}],"isError":false}})";
}

// An array of a million mixed numbers: small and large integers, negatives, doubles.
std::string numbers_payload() {
  Lcg rng;
  std::string s = "[";
  for (int i = 0; i < 1000000; ++i) {
    if (i > 0)
      s += ',';
    switch (rng.below(6)) {
      case 0:
        s += std::to_string(rng.below(1000));
        break;
      case 1:
        s += std::to_string(rng.next() * 2047);
        break;
      case 2:
        s += "-" + std::to_string(rng.below(1000000000));
        break;
      case 3:
        s += brask::format_double(static_cast<double>(rng.below(1000000)) / 1000.0);
        break;
      case 4:
        s += brask::format_double(static_cast<double>(rng.next()) * 1e-30);
        break;
      default:
        s += brask::format_double(static_cast<double>(rng.next()) / 3.0);
    }
  }
  s += ']';
  return s;
}

// 5 MB of strings mixing CJK (U+6F22 U+5B57 ...), emoji with a skin-tone modifier
// (U+1F600, U+1F44D U+1F3FD), combining marks (e U+0301, a U+0308) and escapes.
std::string unicode_payload() {
  const char* const PIECES[] = {
      "\xe6\xbc\xa2\xe5\xad\x97\xe3\x81\x8b\xe3\x81\xaa\xe4\xba\xa4\xe3\x81\x98\xe3\x82\x8a",
      "\xf0\x9f\x98\x80\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd",
      "cafe\xcc\x81 na\xcc\x88ive",
      "\\n",
      "\\\"quoted\\\"",
      "\\u00e9\\u4e2d\\ud83d\\ude00",
      "plain ascii words ",
      "\\t\\\\",
  };
  Lcg rng;
  std::string s = "[";
  while (s.size() < (5u << 20)) {
    if (s.size() > 1)
      s += ',';
    s += '"';
    size_t pieces = 4 + rng.below(12);
    for (size_t i = 0; i < pieces; ++i)
      s += PIECES[rng.below(std::size(PIECES))];
    s += '"';
  }
  s += ']';
  return s;
}

// 100,000 small request lines, as an agent sends them.
std::vector<std::string> request_lines() {
  Lcg rng;
  std::vector<std::string> lines;
  for (int i = 0; i < 100000; ++i) {
    lines.push_back(
        R"({"jsonrpc":"2.0","id":)" + std::to_string(i) +
        R"(,"method":"tools/call","params":{"name":"brask_find_tools","arguments":{"query":")" +
        words(rng, 2 + rng.below(3)) + R"(","app":"brask-canvas","limit":10}}})");
  }
  return lines;
}

struct Payload {
  std::string name;
  std::vector<std::string> texts;  // one text, or many lines parsed one by one
  size_t bytes = 0;
};

const std::vector<Payload>& payloads() {
  static const std::vector<Payload> all = [] {
    std::vector<Payload> p;
    p.push_back({"tools_list", {tools_list_payload()}});
    p.push_back({"base64_20mb", {base64_payload()}});
    p.push_back({"numbers_1m", {numbers_payload()}});
    p.push_back({"unicode_5mb", {unicode_payload()}});
    p.push_back({"request_lines", request_lines()});
    p.push_back({"zeros_20mb", {zeros_payload()}});
    for (auto& each : p) {
      for (const auto& t : each.texts)
        each.bytes += t.size();
    }
    return p;
  }();
  return all;
}

void set_bytes(benchmark::State& state, const Payload& p) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(p.bytes));
}

// A "VmRSS" or "VmHWM" line of /proc/self/status, in bytes.
int64_t status_bytes(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size(), field) == 0 && line.size() > field.size() &&
        line[field.size()] == ':')
      return std::atoll(line.c_str() + field.size() + 1) * 1024;
  }
  return 0;
}

// Runs `parse_all` once: the bytes still held by what it returns (`held`, or the tally's
// count of live allocations when `held` gives -1) and the rise of resident memory to its
// peak on the way, in MB, and that peak as a multiple of the largest single text parsed.
template <class F, class H>
void report_memory(benchmark::State& state, const Payload& p, F parse_all, H held) {
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";  // VmHWM starts again from VmRSS
  const int64_t before = status_bytes("VmRSS");
  tally = HeapTally{true, 0, 0};
  {
    auto documents = parse_all();
    const int64_t peak = status_bytes("VmHWM") - before;
    tally.on = false;
    int64_t doc = held(documents);
    if (doc < 0)
      doc = tally.now;
    size_t largest = 0;
    for (const auto& t : p.texts)
      largest = std::max(largest, t.size());
    state.counters["doc_MB"] = static_cast<double>(doc) / (1 << 20);
    state.counters["peak_MB"] = static_cast<double>(peak) / (1 << 20);
    state.counters["peak_x_line"] = static_cast<double>(peak) / static_cast<double>(largest);
  }
}

std::vector<JsonValue> brask_parse_all(const Payload& p) {
  std::vector<JsonValue> out;
  out.reserve(p.texts.size());
  for (const auto& t : p.texts) {
    auto v = brask::parse_json(t);
    if (!v.ok())
      std::abort();
    out.push_back(std::move(v).take());
  }
  return out;
}

void BM_ParseBrask(benchmark::State& state, size_t index) {
  const Payload& p = payloads()[index];
  for (auto _ : state) {
    for (const auto& t : p.texts) {
      auto v = brask::parse_json(t);
      benchmark::DoNotOptimize(v);
    }
  }
  set_bytes(state, p);
  report_memory(
      state, p, [&] { return brask_parse_all(p); },
      [](const std::vector<JsonValue>& docs) {
        int64_t bytes = 0;
        for (const auto& d : docs)
          bytes += static_cast<int64_t>(brask::json_memory(d));
        return bytes;
      });
  // Correctness: what we write reads back as the same value.
  auto docs = brask_parse_all(p);
  for (const auto& d : docs) {
    auto again = brask::parse_json(brask::render_compact(d));
    if (!again.ok() || !(*again == d))
      state.SkipWithError("round trip changed the value");
  }
}

void BM_RenderBrask(benchmark::State& state, size_t index) {
  const Payload& p = payloads()[index];
  auto docs = brask_parse_all(p);
  size_t out_bytes = 0;
  for (auto _ : state) {
    out_bytes = 0;
    for (const auto& d : docs) {
      std::string out = brask::render_compact(d);
      out_bytes += out.size();
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(out_bytes));
}

#if defined(BRASK_HAVE_RAPIDJSON)

// CrtAllocator with the tally, so RapidJSON's pool chunks and parse stack are counted.
class CountingAllocator {
 public:
  static const bool kNeedFree = true;
  void* Malloc(size_t size) {
    if (size == 0)
      return nullptr;
    void* p = std::malloc(size);
    note_alloc(p);
    return p;
  }
  void* Realloc(void* original, size_t, size_t new_size) {
    note_free(original);
    if (new_size == 0) {
      std::free(original);
      return nullptr;
    }
    void* p = std::realloc(original, new_size);
    note_alloc(p);
    return p;
  }
  static void Free(void* p) {
    note_free(p);
    std::free(p);
  }
};

using CountedDocument =
    rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<CountingAllocator>,
                               CountingAllocator>;

constexpr unsigned STRICT_FLAGS =
    rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag;

template <unsigned FLAGS>
void BM_ParseRapid(benchmark::State& state, size_t index) {
  const Payload& p = payloads()[index];
  for (auto _ : state) {
    for (const auto& t : p.texts) {
      rapidjson::Document d;
      d.Parse<FLAGS>(t.data(), t.size());
      benchmark::DoNotOptimize(d);
      if (d.HasParseError())
        std::abort();
    }
  }
  set_bytes(state, p);
  report_memory(
      state, p,
      [&] {
        std::vector<std::unique_ptr<CountedDocument>> docs;
        for (const auto& t : p.texts) {
          docs.push_back(std::make_unique<CountedDocument>());
          docs.back()->Parse<FLAGS>(t.data(), t.size());
        }
        return docs;
      },
      [](const auto&) { return int64_t{-1}; });
}

void BM_RenderRapid(benchmark::State& state, size_t index) {
  const Payload& p = payloads()[index];
  std::vector<std::unique_ptr<rapidjson::Document>> docs;
  for (const auto& t : p.texts) {
    docs.push_back(std::make_unique<rapidjson::Document>());
    docs.back()->Parse(t.data(), t.size());
  }
  size_t out_bytes = 0;
  for (auto _ : state) {
    out_bytes = 0;
    for (const auto& d : docs) {
      rapidjson::StringBuffer buffer;
      rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
      d->Accept(writer);
      out_bytes += buffer.GetSize();
      benchmark::DoNotOptimize(buffer.GetString());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(out_bytes));
}

#endif

int register_all() {
  const char* const names[] = {"tools_list",  "base64_20mb",   "numbers_1m",
                               "unicode_5mb", "request_lines", "zeros_20mb"};
  for (size_t i = 0; i < std::size(names); ++i) {
    const std::string n = names[i];
    benchmark::RegisterBenchmark(("parse/brask/" + n).c_str(), BM_ParseBrask, i)
        ->Unit(benchmark::kMillisecond);
#if defined(BRASK_HAVE_RAPIDJSON)
    benchmark::RegisterBenchmark(("parse/rapidjson/" + n).c_str(),
                                 BM_ParseRapid<rapidjson::kParseDefaultFlags>, i)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("parse/rapidjson_strict/" + n).c_str(),
                                 BM_ParseRapid<STRICT_FLAGS>, i)
        ->Unit(benchmark::kMillisecond);
#endif
    benchmark::RegisterBenchmark(("render/brask/" + n).c_str(), BM_RenderBrask, i)
        ->Unit(benchmark::kMillisecond);
#if defined(BRASK_HAVE_RAPIDJSON)
    benchmark::RegisterBenchmark(("render/rapidjson/" + n).c_str(), BM_RenderRapid, i)
        ->Unit(benchmark::kMillisecond);
#endif
  }
  return 0;
}

const int registered = register_all();

}  // namespace

BENCHMARK_MAIN();
