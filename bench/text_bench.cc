// Lower-casing and word-splitting throughput on ASCII text (tool names, queries) and on
// mixed-script text (descriptions in other languages).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "text/text.h"

namespace {

constexpr size_t INPUT_BYTES = 64 * 1024;

// Words drawn in a fixed pseudo-random order until `INPUT_BYTES` are reached.
std::string make_text(const std::string_view* words, size_t count) {
  std::string text;
  uint32_t state = 12345;
  while (text.size() < INPUT_BYTES) {
    state = state * 1103515245u + 12345u;
    text += words[(state >> 16) % count];
    text += (state & 0x700) == 0 ? ". " : " ";
  }
  return text;
}

const std::string& ascii_text() {
  static const std::string text = [] {
    static constexpr std::string_view WORDS[] = {
        "Export",    "the", "current", "Layer",  "as",     "PDF",   "gaussian_blur",
        "Radius",    "in",  "pixels",  "NEW",    "canvas", "42",    "Apply",
        "selection", "to",  "ALL",     "slides", "chart",  "Table", "x2",
    };
    return make_text(WORDS, std::size(WORDS));
  }();
  return text;
}

const std::string& mixed_text() {
  static const std::string text = [] {
    // English and German with umlauts, French accents, Greek with sigmas, Russian,
    // Japanese, Chinese, an emoji, a combining accent and U+0130.
    static constexpr std::string_view WORDS[] = {
        "Export",
        "the",
        "Ebene",
        "\xC3\x9C"
        "bersicht",  // Übersicht
        "GR\xC3\x96\xC3\x9F"
        "E",  // GRÖßE
        "cr\xC3\xA9"
        "er",  // créer
        "\xC3\x89"
        "DITER",                                                     // ÉDITER
        "\xCE\xA3\xCE\x95\xCE\x9B\xCE\x99\xCE\x94\xCE\x91\xCE\xA3",  // ΣΕΛΙΔΑΣ
        "\xCF\x83\xCE\xB5\xCE\xB9\xCF\x81\xCE\xAC",                  // σειρά
        "\xD0\xA1\xD0\xBB\xD0\xBE\xD0\xB9",                          // Слой
        "\xD0\xAD\xD0\x9A\xD0\xA1\xD0\x9F\xD0\x9E\xD0\xA0\xD0\xA2",  // ЭКСПОРТ
        "\xE3\x83\xAC\xE3\x82\xA4\xE3\x83\xA4\xE3\x83\xBC",          // レイヤー
        "\xE5\x9B\xBE\xE5\xB1\x82",                                  // 图层
        "\xF0\x9F\x8E\xA8",                                          // 🎨
        "e\xCC\x81"
        "tat",              // état, combining acute
        "\xC4\xB0stanbul",  // İstanbul
        "PDF",
        "42",
    };
    return make_text(WORDS, std::size(WORDS));
  }();
  return text;
}

void lower_case(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    std::string lowered = brask::to_lower(text);
    benchmark::DoNotOptimize(lowered.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
  // Lower-casing is idempotent; a second pass must change nothing.
  const std::string once = brask::to_lower(text);
  if (brask::to_lower(once) != once) {
    state.SkipWithError("lower-casing is not idempotent");
  }
}

void split(benchmark::State& state, const std::string& text) {
  size_t words = 0;
  for (auto _ : state) {
    auto found = brask::split_words(text);
    words = found.size();
    benchmark::DoNotOptimize(found.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
  state.counters["words"] = static_cast<double>(words);
  if (words == 0) {
    state.SkipWithError("no words found");
  }
}

void BM_LowerAscii(benchmark::State& state) {
  lower_case(state, ascii_text());
}
void BM_LowerMixed(benchmark::State& state) {
  lower_case(state, mixed_text());
}
void BM_SplitWordsAscii(benchmark::State& state) {
  split(state, ascii_text());
}
void BM_SplitWordsMixed(benchmark::State& state) {
  split(state, mixed_text());
}

BENCHMARK(BM_LowerAscii);
BENCHMARK(BM_LowerMixed);
BENCHMARK(BM_SplitWordsAscii);
BENCHMARK(BM_SplitWordsMixed);

}  // namespace

BENCHMARK_MAIN();
