#include "apps.h"

#include <cmath>
#include <cstdio>

namespace brask::sample {
namespace {

// Moves the 26 letters starting at `from` to those starting at `to`, leaving other bytes.
std::string shift_letters(std::string_view text, char from, char to) {
  std::string out(text);
  for (char& c : out) {
    if (c >= from && c < from + 26)
      c = static_cast<char>(c - from + to);
  }
  return out;
}

}  // namespace

std::string number_text(double value) {
  if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
    return std::to_string(static_cast<long long>(value));
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.6g", value);
  return buffer;
}

std::string lower(std::string_view text) {
  return shift_letters(text, 'A', 'a');
}

std::string upper(std::string_view text) {
  return shift_letters(text, 'a', 'A');
}

}  // namespace brask::sample
