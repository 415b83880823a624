// formula.h: cell references and the formula language of the Tabulo sample: numbers,
// text in double quotes, cell and range references (optionally Sheet!A1), named ranges,
// + - * / ^, comparisons, and SUM, AVERAGE, MIN, MAX, COUNT, ROUND, ABS, IF.
// Pure functions; the workbook is reached through a callback.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace brask::sample {

struct CellRef {
  int column = 0;  // 0 is A
  int row = 0;     // 0 is row 1
  bool operator==(const CellRef&) const = default;
};

struct RangeRef {
  CellRef first, last;  // first is top-left, last bottom-right
};

constexpr int MAX_COLUMNS = 702;  // A to ZZ
constexpr int MAX_ROWS = 100000;

// "b7" -> column 1, row 6; nothing for text that is not one cell reference in range.
std::optional<CellRef> parse_cell(std::string_view text);
// "A1:C3" or a single cell; corners may come in any order.
std::optional<RangeRef> parse_range(std::string_view text);
std::string cell_name(CellRef cell);  // "B7"
std::string column_name(int column);  // "AA"

// A cell's value: empty, a number, text, or an error such as "#DIV/0!".
struct CellValue {
  enum class Kind { Empty, Number, Text, Error };
  Kind kind = Kind::Empty;
  double number = 0;
  std::string text;  // the text, or the error code

  static CellValue of(double n) { return {Kind::Number, n, {}}; }
  static CellValue of_text(std::string s) { return {Kind::Text, 0, std::move(s)}; }
  static CellValue error(std::string code) { return {Kind::Error, 0, std::move(code)}; }
};

// What a formula needs from the workbook: the value of a cell on a sheet ("" is the
// formula's own sheet), and the range a defined name stands for.
struct FormulaContext {
  std::function<CellValue(const std::string& sheet, CellRef cell)> cell;
  std::function<std::optional<std::pair<std::string, RangeRef>>(const std::string& name)> name;
};

// Evaluates a formula without its leading "=". Faults give error values: "#ERROR!" for
// syntax, "#NAME?", "#REF!", "#VALUE!", "#DIV/0!".
CellValue evaluate_formula(std::string_view formula, const FormulaContext& context);

// The formula with every relative cell reference moved down by `rows` (up when negative);
// references pushed above row 1 become #REF!.
std::string shift_formula_rows(std::string_view formula, int rows);

}  // namespace brask::sample
