// Tabulo, the spreadsheet: a workbook of sheets whose cells hold numbers, text or
// formulas (formula.h), with number formats, charts, defined names, undo and exports.
// Tabulo lists its tools a few at a time, as a large app would page them.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "apps.h"
#include "formula.h"
#include "json/parse.h"

namespace brask::sample {
namespace {

constexpr size_t TOOLS_PER_PAGE = 8;
constexpr size_t MAX_FORMULA_DEPTH = 200;
constexpr long MAX_RANGE_CELLS = 10000;  // cells one tool call may read or write

struct Cell {
  std::string input;  // as typed: "12", "Total", "=SUM(A1:A3)"
  std::string format = "general";
  long long decimals = -1;  // -1: as many as needed
  bool bold = false;
};

struct Sheet {
  std::string name;
  std::map<std::pair<int, int>, Cell> cells;  // by (row, column)
  std::map<int, double> column_widths;
  long long frozen_rows = 0, frozen_columns = 0;
};

Sheet named_sheet(std::string name) {
  Sheet sheet;
  sheet.name = std::move(name);
  return sheet;
}

struct Chart {
  unsigned id = 0;
  std::string sheet, range, kind, title;
};

struct Workbook {
  std::vector<Sheet> sheets;
  std::vector<Chart> charts;
  std::map<std::string, std::pair<std::string, RangeRef>> names;  // by upper-case name
  unsigned next_chart = 1;
};

struct Tabulo {
  Workbook book;
  std::vector<Workbook> undo;
  std::vector<JsonValue> exports;
};

void snapshot(Tabulo& t) {
  remember(t.undo, t.book);
}

const Sheet* sheet_named(const Workbook& b, std::string_view name) {
  for (const Sheet& s : b.sheets) {
    if (lower(s.name) == lower(name))
      return &s;
  }
  return nullptr;
}

// The sheet of the "sheet" argument, or the first sheet when it is absent.
Result<Sheet*> find_sheet(Workbook& b, const Args& a) {
  if (!a.has("sheet"))
    return &b.sheets.front();
  if (const Sheet* s = sheet_named(b, a.string("sheet")))
    return const_cast<Sheet*>(s);
  std::string names;
  for (const Sheet& s : b.sheets)
    names += (names.empty() ? "" : ", ") + s.name;
  return fail("no sheet `" + a.string("sheet") + "`; the sheets are " + names);
}

Result<CellRef> cell_arg(const Args& a, std::string_view key = "cell") {
  auto cell = parse_cell(a.string(key));
  if (!cell)
    return fail("`" + std::string(key) + "` must be a cell such as B7, not `" + a.string(key) +
                "`");
  return *cell;
}

Result<RangeRef> range_arg(const Args& a) {
  auto range = parse_range(a.string("range"));
  if (!range)
    return fail("`range` must be a cell range such as A1:C10, not `" + a.string("range") + "`");
  long cells = static_cast<long>(range->last.column - range->first.column + 1) *
               (range->last.row - range->first.row + 1);
  if (cells > MAX_RANGE_CELLS) {
    return fail("`range` covers more than " + std::to_string(MAX_RANGE_CELLS) + " cells");
  }
  return *range;
}

bool in_range(RangeRef r, std::pair<int, int> row_column) {
  auto [row, column] = row_column;
  return row >= r.first.row && row <= r.last.row && column >= r.first.column &&
         column <= r.last.column;
}

// The sheet and range of the "sheet" and "range" arguments, checked in that order.
struct SheetRange {
  Sheet* sheet;
  RangeRef range;
};

Result<SheetRange> sheet_range(Workbook& b, const Args& a) {
  auto sheet = find_sheet(b, a);
  if (!sheet.ok())
    return sheet.failure();
  auto range = range_arg(a);
  if (!range.ok())
    return range.failure();
  return SheetRange{*sheet, *range};
}

// Runs `change` on the sheet and range of the arguments, with undo; it returns what to say.
template <class F>
ToolOutput edit_range(Tabulo& t, const Args& a, F change) {
  auto target = sheet_range(t.book, a);
  if (!target.ok())
    return target.failure();
  snapshot(t);
  return JsonValue(change(*target->sheet, target->range));
}

std::string range_name(RangeRef r) {
  if (r.first == r.last)
    return cell_name(r.first);
  return cell_name(r.first) + ":" + cell_name(r.last);
}

using Visiting = std::vector<std::tuple<const Sheet*, int, int>>;

CellValue value_of(const Workbook& b, const Sheet& sheet, CellRef at, Visiting& visiting);

CellValue input_value(const Workbook& b, const Sheet& sheet, const std::string& input,
                      Visiting& visiting) {
  if (input.empty())
    return {};
  if (input[0] == '=') {
    FormulaContext context;
    context.cell = [&](const std::string& name, CellRef cell) -> CellValue {
      const Sheet* target = name.empty() ? &sheet : sheet_named(b, name);
      if (!target)
        return CellValue::error("#REF!");
      return value_of(b, *target, cell, visiting);
    };
    context.name = [&](const std::string& name) -> std::optional<std::pair<std::string, RangeRef>> {
      auto it = b.names.find(upper(name));
      if (it == b.names.end())
        return std::nullopt;
      return it->second;
    };
    return evaluate_formula(std::string_view(input).substr(1), context);
  }
  double d = 0;
  const char* end = input.data() + input.size();
  auto [p, ec] = std::from_chars(input.data(), end, d);
  if (ec == std::errc() && p == end)
    return CellValue::of(d);
  return CellValue::of_text(input);
}

CellValue value_of(const Workbook& b, const Sheet& sheet, CellRef at, Visiting& visiting) {
  auto it = sheet.cells.find({at.row, at.column});
  if (it == sheet.cells.end())
    return {};
  auto key = std::make_tuple(&sheet, at.row, at.column);
  if (std::find(visiting.begin(), visiting.end(), key) != visiting.end()) {
    return CellValue::error("#CYCLE!");
  }
  if (visiting.size() >= MAX_FORMULA_DEPTH)
    return CellValue::error("#DEPTH!");
  visiting.push_back(key);
  CellValue v = input_value(b, sheet, it->second.input, visiting);
  visiting.pop_back();
  return v;
}

CellValue cell_value(const Workbook& b, const Sheet& sheet, CellRef at) {
  Visiting visiting;
  return value_of(b, sheet, at, visiting);
}

// Whole numbers come out as JSON integers so that 6 does not read as 6.0.
JsonValue value_json(const CellValue& v) {
  switch (v.kind) {
    case CellValue::Kind::Empty:
      return nullptr;
    case CellValue::Kind::Number:
      if (v.number == std::floor(v.number) && std::fabs(v.number) < 1e15) {
        return static_cast<long long>(v.number);
      }
      return v.number;
    default:
      return v.text;
  }
}

std::string with_decimals(double n, long long decimals) {
  if (decimals < 0)
    return number_text(n);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", static_cast<int>(decimals), n);
  return buffer;
}

std::string display(const CellValue& v, const Cell& cell) {
  if (v.kind != CellValue::Kind::Number)
    return v.kind == CellValue::Kind::Empty ? "" : v.text;
  if (cell.format == "percent")
    return with_decimals(v.number * 100, cell.decimals) + "%";
  if (cell.format == "currency") {
    return (v.number < 0 ? "-$" : "$") +
           with_decimals(std::fabs(v.number), cell.decimals < 0 ? 2 : cell.decimals);
  }
  return with_decimals(v.number, cell.decimals);
}

JsonValue cell_json(const Workbook& b, const Sheet& sheet, CellRef at) {
  JsonObject o{{"cell", cell_name(at)}};
  auto it = sheet.cells.find({at.row, at.column});
  if (it == sheet.cells.end()) {
    o.set("value", nullptr);
    return o;
  }
  CellValue v = cell_value(b, sheet, at);
  o.set("input", it->second.input);
  o.set("value", value_json(v));
  o.set("display", display(v, it->second));
  if (it->second.format != "general")
    o.set("format", it->second.format);
  if (it->second.bold)
    o.set("bold", true);
  return o;
}

// Used cells of a sheet: the smallest range holding them all, if any.
std::optional<RangeRef> used_range(const Sheet& s) {
  if (s.cells.empty())
    return std::nullopt;
  RangeRef r{{MAX_COLUMNS, MAX_ROWS}, {0, 0}};
  for (const auto& [key, _] : s.cells) {
    r.first = {std::min(r.first.column, key.second), std::min(r.first.row, key.first)};
    r.last = {std::max(r.last.column, key.second), std::max(r.last.row, key.first)};
  }
  r.first = {0, 0};
  return r;
}

// A JSON value typed into a cell: numbers and text as they are, true/false as TRUE/FALSE.
Result<std::string> input_of(const JsonValue& v) {
  if (auto s = v.as_string())
    return std::string(*s);
  if (const uint64_t* u = v.as_unsigned())
    return std::to_string(*u);
  if (const int64_t* i = v.as_signed())
    return std::to_string(*i);
  if (const double* d = v.as_double())
    return number_text(*d);
  if (const bool* b = v.as_bool())
    return std::string(*b ? "TRUE" : "FALSE");
  if (v.is_null())
    return std::string();
  return fail("a cell holds a number, a text or a formula, not a list or an object");
}

void put(Sheet& s, CellRef at, std::string input) {
  if (input.empty()) {
    s.cells.erase({at.row, at.column});
  } else {
    s.cells[{at.row, at.column}].input = std::move(input);
  }
}

ToolOutput list_sheets(Tabulo& t, const Args&) {
  JsonArray out;
  for (const Sheet& s : t.book.sheets) {
    auto used = used_range(s);
    out.push_back(
        JsonObject{{"sheet", s.name},
                   {"cells", s.cells.size()},
                   {"usedRange", used ? JsonValue(range_name(*used)) : JsonValue(nullptr)}});
  }
  return JsonValue(JsonObject{{"sheets", std::move(out)}});
}

ToolOutput add_sheet(Tabulo& t, const Args& a) {
  std::string name = a.string("name");
  if (sheet_named(t.book, name))
    return fail("there is already a sheet `" + name + "`");
  snapshot(t);
  t.book.sheets.push_back(named_sheet(name));
  return JsonValue("Added the sheet \"" + name + "\"; the workbook has " +
                   std::to_string(t.book.sheets.size()) + " sheets.");
}

ToolOutput rename_sheet(Tabulo& t, const Args& a) {
  auto sheet = find_sheet(t.book, a);
  if (!sheet.ok())
    return sheet.failure();
  const Sheet* other = sheet_named(t.book, a.string("name"));
  if (other && other != *sheet)
    return fail("there is already a sheet `" + a.string("name") + "`");
  std::string old = (*sheet)->name;
  snapshot(t);
  (*sheet)->name = a.string("name");
  return JsonValue("Renamed \"" + old + "\" to \"" + a.string("name") + "\".");
}

ToolOutput delete_sheet(Tabulo& t, const Args& a) {
  auto sheet = find_sheet(t.book, a);
  if (!sheet.ok())
    return sheet.failure();
  if (t.book.sheets.size() == 1)
    return fail("a workbook keeps at least one sheet");
  std::string name = (*sheet)->name;
  snapshot(t);
  std::erase_if(t.book.sheets, [&](const Sheet& s) { return s.name == name; });
  std::erase_if(t.book.charts, [&](const Chart& c) { return c.sheet == name; });
  return JsonValue("Deleted the sheet \"" + name + "\".");
}

ToolOutput set_cell(Tabulo& t, const Args& a) {
  auto sheet = find_sheet(t.book, a);
  if (!sheet.ok())
    return sheet.failure();
  auto at = cell_arg(a);
  if (!at.ok())
    return at.failure();
  auto input = input_of(*a.get("value"));
  if (!input.ok())
    return input.failure();
  snapshot(t);
  put(**sheet, *at, std::move(input).take());
  return cell_json(t.book, **sheet, *at);
}

ToolOutput get_cell(Tabulo& t, const Args& a) {
  auto sheet = find_sheet(t.book, a);
  if (!sheet.ok())
    return sheet.failure();
  auto at = cell_arg(a);
  if (!at.ok())
    return at.failure();
  return cell_json(t.book, **sheet, *at);
}

ToolOutput set_range(Tabulo& t, const Args& a) {
  auto sheet = find_sheet(t.book, a);
  if (!sheet.ok())
    return sheet.failure();
  auto start = cell_arg(a, "start");
  if (!start.ok())
    return start.failure();
  const auto rows = *a.get("rows")->as_array();
  std::vector<std::tuple<CellRef, std::string>> writes;
  for (size_t r = 0; r < rows.size(); ++r) {
    const auto row = *rows[r].as_array();
    for (size_t c = 0; c < row.size(); ++c) {
      CellRef at{start->column + static_cast<int>(c), start->row + static_cast<int>(r)};
      if (at.column >= MAX_COLUMNS || at.row >= MAX_ROWS)
        return fail("`rows` reaches past the sheet's last cell");
      auto input = input_of(row[c]);
      if (!input.ok())
        return input.failure();
      writes.emplace_back(at, std::move(input).take());
    }
  }
  if (static_cast<long>(writes.size()) > MAX_RANGE_CELLS) {
    return fail("`rows` holds more than " + std::to_string(MAX_RANGE_CELLS) + " cells");
  }
  snapshot(t);
  Sheet& s = **sheet;
  for (auto& [at, input] : writes)
    put(s, at, std::move(input));
  return JsonValue("Wrote " + std::to_string(writes.size()) + " cells starting at " +
                   cell_name(*start) + " on \"" + s.name + "\".");
}

ToolOutput get_range(Tabulo& t, const Args& a) {
  auto target = sheet_range(t.book, a);
  if (!target.ok())
    return target.failure();
  RangeRef range = target->range;
  JsonArray rows;
  for (int r = range.first.row; r <= range.last.row; ++r) {
    JsonArray row;
    for (int c = range.first.column; c <= range.last.column; ++c) {
      row.push_back(value_json(cell_value(t.book, *target->sheet, CellRef{c, r})));
    }
    rows.push_back(std::move(row));
  }
  return JsonValue(JsonObject{{"range", range_name(range)}, {"values", std::move(rows)}});
}

ToolOutput clear_range(Tabulo& t, const Args& a) {
  return edit_range(t, a, [](Sheet& s, RangeRef range) {
    size_t cleared =
        std::erase_if(s.cells, [&](const auto& entry) { return in_range(range, entry.first); });
    return "Cleared " + std::to_string(cleared) + " cells in " + range_name(range) + ".";
  });
}

ToolOutput sort_range(Tabulo& t, const Args& a) {
  auto target = sheet_range(t.book, a);
  if (!target.ok())
    return target.failure();
  Sheet& s = *target->sheet;
  RangeRef range = target->range;
  auto key = parse_cell(a.string("byColumn") + "1");
  if (!key || key->column < range.first.column || key->column > range.last.column) {
    return fail("`byColumn` must be a column letter inside " + range_name(range));
  }
  struct Row {
    CellValue key;
    std::vector<std::optional<Cell>> cells;
  };
  std::vector<Row> rows;
  for (int r = range.first.row; r <= range.last.row; ++r) {
    Row row{cell_value(t.book, s, CellRef{key->column, r}), {}};
    for (int c = range.first.column; c <= range.last.column; ++c) {
      auto it = s.cells.find({r, c});
      row.cells.push_back(it == s.cells.end() ? std::nullopt : std::optional<Cell>(it->second));
    }
    rows.push_back(std::move(row));
  }
  bool descending = a.boolean("descending");
  // Numbers before text before empty cells, whatever the direction, as spreadsheets do.
  auto rank = [](const CellValue& v) {
    return v.kind == CellValue::Kind::Number ? 0 : v.kind == CellValue::Kind::Empty ? 2 : 1;
  };
  std::stable_sort(rows.begin(), rows.end(), [&](const Row& x, const Row& y) {
    if (rank(x.key) != rank(y.key))
      return rank(x.key) < rank(y.key);
    bool less = x.key.kind == CellValue::Kind::Number ? x.key.number < y.key.number
                                                      : lower(x.key.text) < lower(y.key.text);
    bool more = x.key.kind == CellValue::Kind::Number ? y.key.number < x.key.number
                                                      : lower(y.key.text) < lower(x.key.text);
    return descending ? more : less;
  });
  snapshot(t);
  for (size_t i = 0; i < rows.size(); ++i) {
    for (size_t j = 0; j < rows[i].cells.size(); ++j) {
      std::pair<int, int> at{range.first.row + static_cast<int>(i),
                             range.first.column + static_cast<int>(j)};
      if (rows[i].cells[j]) {
        s.cells[at] = *rows[i].cells[j];
      } else {
        s.cells.erase(at);
      }
    }
  }
  return JsonValue("Sorted " + std::to_string(rows.size()) + " rows of " + range_name(range) +
                   " by column " + column_name(key->column) +
                   (descending ? ", largest first." : ", smallest first.") +
                   " Formulas keep their references.");
}

ToolOutput fill_down(Tabulo& t, const Args& a) {
  return edit_range(t, a, [](Sheet& s, RangeRef range) {
    size_t filled = 0;
    for (int c = range.first.column; c <= range.last.column; ++c) {
      auto top = s.cells.find({range.first.row, c});
      for (int r = range.first.row + 1; r <= range.last.row; ++r) {
        if (top == s.cells.end()) {
          s.cells.erase({r, c});
          continue;
        }
        Cell copy = top->second;
        if (!copy.input.empty() && copy.input[0] == '=') {
          copy.input = shift_formula_rows(copy.input, r - range.first.row);
        }
        s.cells[{r, c}] = copy;
        ++filled;
      }
    }
    return "Filled " + std::to_string(filled) + " cells down from row " +
           std::to_string(range.first.row + 1) + "; formulas follow their rows.";
  });
}

ToolOutput format_cells(Tabulo& t, const Args& a) {
  return edit_range(t, a, [&](Sheet& s, RangeRef range) {
    size_t changed = 0;
    for (auto& [key, cell] : s.cells) {
      if (!in_range(range, key))
        continue;
      if (a.has("numberFormat"))
        cell.format = a.string("numberFormat");
      if (a.has("decimals"))
        cell.decimals = a.integer("decimals");
      if (a.has("bold"))
        cell.bold = a.boolean("bold");
      ++changed;
    }
    return "Formatted " + std::to_string(changed) + " cells in " + range_name(range) + ".";
  });
}

ToolOutput set_column_width(Tabulo& t, const Args& a) {
  auto sheet = find_sheet(t.book, a);
  if (!sheet.ok())
    return sheet.failure();
  auto column = parse_cell(a.string("column") + "1");
  if (!column)
    return fail("`column` must be a column letter such as C");
  snapshot(t);
  (*sheet)->column_widths[column->column] = a.number("width");
  return JsonValue("Column " + column_name(column->column) + " is now " +
                   number_text(a.number("width")) + " characters wide.");
}

ToolOutput evaluate(Tabulo& t, const Args& a) {
  auto sheet = find_sheet(t.book, a);
  if (!sheet.ok())
    return sheet.failure();
  std::string formula = a.string("formula");
  if (formula.empty() || formula[0] != '=')
    formula = "=" + formula;
  Visiting visiting;
  CellValue v = input_value(t.book, **sheet, formula, visiting);
  return JsonValue(JsonObject{{"formula", formula}, {"value", value_json(v)}});
}

ToolOutput find_cells(Tabulo& t, const Args& a) {
  std::string wanted = lower(a.string("text"));
  JsonArray hits;
  for (const Sheet& s : t.book.sheets) {
    if (a.has("sheet") && lower(s.name) != lower(a.string("sheet")))
      continue;
    for (const auto& [key, cell] : s.cells) {
      CellRef at{key.second, key.first};
      std::string shown = display(cell_value(t.book, s, at), cell);
      if (lower(cell.input).find(wanted) == std::string::npos &&
          lower(shown).find(wanted) == std::string::npos) {
        continue;
      }
      hits.push_back(JsonObject{{"sheet", s.name}, {"cell", cell_name(at)}, {"input", cell.input}});
    }
  }
  return JsonValue(JsonObject{{"matches", std::move(hits)}});
}

ToolOutput create_chart(Tabulo& t, const Args& a) {
  return edit_range(t, a, [&](Sheet& s, RangeRef range) {
    Chart chart{t.book.next_chart++, s.name, range_name(range), a.string("kind"),
                a.string("title")};
    t.book.charts.push_back(chart);
    return "Created " + chart.kind + " chart " + std::to_string(chart.id) + " \"" + chart.title +
           "\" from " + chart.range + " on \"" + chart.sheet + "\".";
  });
}

ToolOutput list_charts(Tabulo& t, const Args&) {
  JsonArray out;
  for (const Chart& c : t.book.charts) {
    out.push_back(JsonObject{{"chart", c.id},
                             {"sheet", c.sheet},
                             {"range", c.range},
                             {"kind", c.kind},
                             {"title", c.title}});
  }
  return JsonValue(JsonObject{{"charts", std::move(out)}});
}

ToolOutput delete_chart(Tabulo& t, const Args& a) {
  long long id = a.integer("chart");
  auto it = std::find_if(t.book.charts.begin(), t.book.charts.end(),
                         [&](const Chart& c) { return c.id == id; });
  if (it == t.book.charts.end())
    return fail("no chart " + std::to_string(id));
  snapshot(t);
  std::erase_if(t.book.charts, [&](const Chart& c) { return c.id == id; });
  return JsonValue("Deleted chart " + std::to_string(id) + ".");
}

ToolOutput define_name(Tabulo& t, const Args& a) {
  auto target = sheet_range(t.book, a);
  if (!target.ok())
    return target.failure();
  std::string name = a.string("name");
  bool good = !name.empty() && !(name[0] >= '0' && name[0] <= '9') && !parse_range(name);
  for (char c : name) {
    good = good && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
  }
  if (!good)
    return fail("`name` must be letters, digits and _ and must not look like a cell");
  snapshot(t);
  std::string sheet_name = target->sheet->name;
  t.book.names[upper(name)] = {sheet_name, target->range};
  return JsonValue("\"" + name + "\" now stands for " + sheet_name + "!" +
                   range_name(target->range) + " in formulas.");
}

ToolOutput list_names(Tabulo& t, const Args&) {
  JsonArray out;
  for (const auto& [name, target] : t.book.names) {
    out.push_back(
        JsonObject{{"name", name}, {"refersTo", target.first + "!" + range_name(target.second)}});
  }
  return JsonValue(JsonObject{{"names", std::move(out)}});
}

ToolOutput freeze_panes(Tabulo& t, const Args& a) {
  auto sheet = find_sheet(t.book, a);
  if (!sheet.ok())
    return sheet.failure();
  snapshot(t);
  Sheet& s = **sheet;
  s.frozen_rows = a.integer("rows");
  s.frozen_columns = a.integer("columns");
  return JsonValue("Froze " + std::to_string(s.frozen_rows) + " rows and " +
                   std::to_string(s.frozen_columns) + " columns of \"" + s.name + "\".");
}

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\n") == std::string::npos)
    return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"')
      out += '"';
    out += c;
  }
  return out + "\"";
}

ToolOutput export_workbook(Tabulo& t, const Args& a) {
  auto sheet = find_sheet(t.book, a);
  if (!sheet.ok())
    return sheet.failure();
  std::string format = a.string("format");
  JsonObject record{{"file", a.string("fileName")}, {"format", format}};
  if (format == "csv") {
    const Sheet& s = **sheet;
    std::string csv;
    if (auto used = used_range(s)) {
      for (int r = 0; r <= used->last.row; ++r) {
        for (int c = 0; c <= used->last.column; ++c) {
          auto it = s.cells.find({r, c});
          if (c > 0)
            csv += ',';
          if (it != s.cells.end())
            csv += csv_field(display(cell_value(t.book, s, CellRef{c, r}), it->second));
        }
        csv += '\n';
      }
    }
    record.set("sheet", s.name);
    record.set("content", csv);
  } else {
    record.set("sheets", t.book.sheets.size());
    record.set("charts", t.book.charts.size());
  }
  t.exports.push_back(record);
  return JsonValue(std::move(record));
}

ToolOutput list_exports(Tabulo& t, const Args&) {
  JsonArray out;
  for (const JsonValue& e : t.exports) {
    out.push_back(JsonObject{{"file", *e.find("file")}, {"format", *e.find("format")}});
  }
  return JsonValue(JsonObject{{"exports", std::move(out)}});
}

ToolOutput undo(Tabulo& t, const Args& a) {
  return undo_steps(t.undo, t.book, a.integer("steps"));
}

// Tools with an optional sheet declare `"sheet": {}`; make_tabulo completes it to this.
const char* const SHEET_PROPERTY =
    R"({"type": "string", "description": "Sheet name; the first sheet when left out."})";

const ToolRow<Tabulo> TOOLS[] = {
    {{"list_sheets", "List sheets",
      "Lists the workbook's sheets in order with the number of filled cells and the used "
      "range of each. The first sheet is used when a tool is given no sheet.",
      R"({"type": "object", "properties": {}})", READ_ONLY},
     list_sheets},
    {{"add_sheet", "Add sheet",
      "Adds an empty sheet at the end of the workbook. Sheet names are unique, ignoring case.",
      R"({"type": "object", "properties": {"name": {"type": "string", "minLength": 1}}, "required": ["name"]})",
      0},
     add_sheet},
    {{"rename_sheet", "Rename sheet",
      "Gives a sheet a new name. Formulas on other sheets that name the old one show #REF! "
      "until they are edited.",
      R"({"type": "object", "properties": {"sheet": {"type": "string"}, "name": {"type": "string", "minLength": 1}}, "required": ["sheet", "name"]})",
      IDEMPOTENT},
     rename_sheet},
    {{"delete_sheet", "Delete sheet",
      "Removes a sheet with all its cells and charts. The last sheet cannot be deleted.",
      R"({"type": "object", "properties": {"sheet": {"type": "string"}}, "required": ["sheet"]})",
      DESTRUCTIVE},
     delete_sheet},
    {{"set_cell", "Set cell",
      "Writes a number, a text or a formula into one cell and returns its new value. "
      "Formulas start with = and may use SUM, AVERAGE, MIN, MAX, COUNT, ROUND, ABS and IF.",
      R"({"type": "object", "properties": {"sheet": {},
          "cell": {"type": "string", "description": "Cell such as B7."},
          "value": {"description": "A number, a text, or a formula such as =SUM(A1:A10); empty text clears the cell."}},
        "required": ["cell", "value"]})",
      IDEMPOTENT},
     set_cell},
    {{"get_cell", "Read cell",
      "Returns one cell's input, computed value, displayed text and format. An empty cell gives a "
      "null value.",
      R"({"type": "object", "properties": {"sheet": {}, "cell": {"type": "string"}}, "required": ["cell"]})",
      READ_ONLY},
     get_cell},
    {{"set_range", "Write rows of cells",
      "Writes a block of values row by row, starting at a top-left cell. Each row is a list of "
      "numbers, texts or formulas; null leaves a cell empty.",
      R"({"type": "object", "properties": {"sheet": {},
          "start": {"type": "string", "description": "Top-left cell such as A1."},
          "rows": {"type": "array", "items": {"type": "array"}}},
        "required": ["start", "rows"]})",
      IDEMPOTENT},
     set_range},
    {{"get_range", "Read range",
      "Returns the computed values of a range of cells, row by row. Empty cells come back as null; "
      "formulas come back as their results.",
      R"({"type": "object", "properties": {"sheet": {}, "range": {"type": "string", "description": "Range such as A1:C10."}}, "required": ["range"]})",
      READ_ONLY},
     get_range},
    {{"clear_range", "Clear range",
      "Empties every cell of a range, values and formats alike. Formulas that refer to the cleared "
      "cells then see empty cells.",
      R"({"type": "object", "properties": {"sheet": {}, "range": {"type": "string"}}, "required": ["range"]})",
      DESTRUCTIVE},
     clear_range},
    {{"sort_range", "Sort range",
      "Sorts the rows of a range by the values in one of its columns. Numbers come before text "
      "and empty cells last.",
      R"({"type": "object", "properties": {"sheet": {}, "range": {"type": "string"},
          "byColumn": {"type": "string", "description": "Column letter inside the range."},
          "descending": {"type": "boolean", "default": false}},
        "required": ["range", "byColumn"]})",
      0},
     sort_range},
    {{"fill_down", "Fill down",
      "Copies the top row of a range into the rows below it. Relative references in formulas "
      "move with each row; references with $ stay fixed.",
      R"({"type": "object", "properties": {"sheet": {}, "range": {"type": "string"}}, "required": ["range"]})",
      IDEMPOTENT},
     fill_down},
    {{"format_cells", "Format cells",
      "Sets the number format, the number of decimals and bold type of the filled cells in a "
      "range. Leave out what should stay as it is.",
      R"({"type": "object", "properties": {"sheet": {}, "range": {"type": "string"},
          "numberFormat": {"type": "string", "enum": ["general", "percent", "currency"]},
          "decimals": {"type": "integer", "minimum": 0, "maximum": 10},
          "bold": {"type": "boolean"}},
        "required": ["range"]})",
      IDEMPOTENT},
     format_cells},
    {{"set_column_width", "Set column width",
      "Sets the width of one column, in characters. Widths affect PDF exports and how much of a "
      "value is shown on screen.",
      R"({"type": "object", "properties": {"sheet": {}, "column": {"type": "string"}, "width": {"type": "number", "minimum": 1, "maximum": 255}}, "required": ["column", "width"]})",
      IDEMPOTENT},
     set_column_width},
    {{"evaluate_formula", "Evaluate formula",
      "Computes a formula against the workbook without writing it into a cell. Useful to check "
      "a result before storing it.",
      R"({"type": "object", "properties": {"sheet": {}, "formula": {"type": "string", "minLength": 1}}, "required": ["formula"]})",
      READ_ONLY},
     evaluate},
    {{"find_cells", "Find cells",
      "Finds the cells whose input or displayed value contains a text, ignoring case, on one "
      "sheet or on all of them. Each match gives the sheet, the cell and what was typed.",
      R"({"type": "object", "properties": {"sheet": {}, "text": {"type": "string", "minLength": 1}}, "required": ["text"]})",
      READ_ONLY},
     find_cells},
    {{"create_chart", "Create chart",
      "Draws a chart from a range. The first column gives the labels and the other columns the "
      "data series.",
      R"({"type": "object", "properties": {"sheet": {}, "range": {"type": "string"},
          "kind": {"type": "string", "enum": ["bar", "line", "pie", "scatter"], "default": "bar"},
          "title": {"type": "string", "default": ""}},
        "required": ["range"]})",
      0},
     create_chart},
    {{"list_charts", "List charts",
      "Lists the workbook's charts with their sheet, data range, kind and title. Chart numbers are "
      "what delete_chart expects.",
      R"({"type": "object", "properties": {}})", READ_ONLY},
     list_charts},
    {{"delete_chart", "Delete chart",
      "Removes one chart by its number from list_charts. The data it was drawn from stays "
      "untouched.",
      R"({"type": "object", "properties": {"chart": {"type": "integer", "minimum": 1}}, "required": ["chart"]})",
      DESTRUCTIVE},
     delete_chart},
    {{"define_name", "Define name",
      "Gives a range a name that formulas can use instead of the address, as in "
      "=SUM(Sales). Defining a name again moves it to the new range.",
      R"({"type": "object", "properties": {"sheet": {}, "name": {"type": "string"}, "range": {"type": "string"}}, "required": ["name", "range"]})",
      IDEMPOTENT},
     define_name},
    {{"list_names", "List names",
      "Lists the defined names and the ranges they stand for. Names are shown in capitals; "
      "formulas may use any case.",
      R"({"type": "object", "properties": {}})", READ_ONLY},
     list_names},
    {{"freeze_panes", "Freeze panes",
      "Keeps the first rows and columns of a sheet in view while scrolling. Zero unfreezes.",
      R"({"type": "object", "properties": {"sheet": {}, "rows": {"type": "integer", "minimum": 0, "maximum": 100, "default": 1}, "columns": {"type": "integer", "minimum": 0, "maximum": 26, "default": 0}}})",
      IDEMPOTENT},
     freeze_panes},
    {{"export_workbook", "Export workbook",
      "Writes the workbook as XLSX, ODS or PDF, or one sheet as CSV. A CSV export returns the "
      "file's content. This sample keeps exports in memory.",
      R"({"type": "object", "properties": {"sheet": {}, "fileName": {"type": "string", "minLength": 1},
          "format": {"type": "string", "enum": ["xlsx", "ods", "pdf", "csv"], "default": "xlsx"}},
        "required": ["fileName"]})",
      0},
     export_workbook},
    {{"list_exports", "List exports",
      "Lists the files exported in this session, oldest first. Each entry gives the file name, the "
      "format and what went into the file.",
      R"({"type": "object", "properties": {}})", READ_ONLY},
     list_exports},
    {{"undo", "Undo",
      "Takes back the last changes to the workbook, one step at a time. Up to 50 steps are kept.",
      R"({"type": "object", "properties": {"steps": {"type": "integer", "minimum": 1, "maximum": 50, "default": 1}}})",
      0},
     undo},
};

}  // namespace

Result<void> make_tabulo(AppDefinition* app) {
  auto doc = std::make_shared<Tabulo>();
  doc->book.sheets.push_back(named_sheet("Sheet1"));
  auto tools = make_tools(TOOLS, doc);
  if (!tools.ok())
    return tools.failure();
  auto sheet = parse_json(SHEET_PROPERTY);
  if (!sheet.ok())
    return sheet.failure();
  for (Tool& tool : *tools) {
    const JsonValue* properties = tool.schema.find("properties");
    const JsonValue* property = properties ? properties->find("sheet") : nullptr;
    if (property && property->as_object() && property->as_object()->empty()) {
      JsonObject completed(*properties->as_object());
      completed.set("sheet", *sheet);
      JsonObject schema(*tool.schema.as_object());
      schema.set("properties", std::move(completed));
      tool.schema = JsonValue(std::move(schema));
    }
  }
  app->id = "tabulo";
  app->title = "Tabulo";
  app->version = "3.1.4";
  app->instructions =
      "Tabulo edits one workbook. Cells are addressed like B7 and ranges like A1:C10; formulas "
      "start with =.";
  app->page_size = TOOLS_PER_PAGE;
  app->tools = std::move(tools).take();
  return {};
}

}  // namespace brask::sample
