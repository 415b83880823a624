#include "formula.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "apps.h"

namespace brask::sample {
namespace {

bool is_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_name_char(char c) {
  return is_letter(c) || is_digit(c) || c == '_' || c == '.';
}

char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// A cell reference at the start of `text`, with "$" marks allowed; sets *length to the
// characters it takes.
std::optional<CellRef> cell_prefix(std::string_view text, size_t* length, bool* fixed_row) {
  size_t i = 0;
  if (i < text.size() && text[i] == '$')
    ++i;
  int column = 0;
  size_t letters = 0;
  while (i < text.size() && is_letter(text[i]) && letters < 3) {
    column = column * 26 + (upper(text[i]) - 'A' + 1);
    ++i;
    ++letters;
  }
  if (letters == 0 || letters > 2)
    return std::nullopt;
  *fixed_row = i < text.size() && text[i] == '$';
  if (*fixed_row)
    ++i;
  size_t digits_start = i;
  long row = 0;
  while (i < text.size() && is_digit(text[i]) && i - digits_start < 7) {
    row = row * 10 + (text[i] - '0');
    ++i;
  }
  if (i == digits_start || row < 1 || row > MAX_ROWS || column > MAX_COLUMNS)
    return std::nullopt;
  if (i < text.size() && is_name_char(text[i]))
    return std::nullopt;  // a name like AB12X
  *length = i;
  return CellRef{column - 1, static_cast<int>(row - 1)};
}

std::optional<double> number_of(const CellValue& v) {
  switch (v.kind) {
    case CellValue::Kind::Empty:
      return 0.0;
    case CellValue::Kind::Number:
      return v.number;
    case CellValue::Kind::Text: {
      double d = 0;
      const char* end = v.text.data() + v.text.size();
      auto [p, ec] = std::from_chars(v.text.data(), end, d);
      if (ec == std::errc() && p == end)
        return d;
      return std::nullopt;
    }
    case CellValue::Kind::Error:
      return std::nullopt;
  }
  return std::nullopt;
}

std::string text_of(const CellValue& v) {
  if (v.kind == CellValue::Kind::Number)
    return number_text(v.number);
  return v.text;
}

// Recursive descent that evaluates as it parses; the first syntax fault wins.
class Evaluator {
 public:
  Evaluator(std::string_view text, const FormulaContext& context) : s_(text), context_(context) {}

  CellValue run() {
    CellValue v = comparison();
    skip_space();
    if (pos_ != s_.size())
      syntax_error_ = true;
    if (syntax_error_)
      return CellValue::error("#ERROR!");
    return v;
  }

 private:
  // A function argument: the values of a range or name, or one value.
  using Values = std::vector<CellValue>;

  void skip_space() {
    while (pos_ < s_.size() && s_[pos_] == ' ')
      ++pos_;
  }
  bool take(char c) {
    skip_space();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  CellValue syntax() {
    syntax_error_ = true;
    return CellValue::error("#ERROR!");
  }

  static CellValue arithmetic(const CellValue& a, const CellValue& b, char op) {
    if (a.kind == CellValue::Kind::Error)
      return a;
    if (b.kind == CellValue::Kind::Error)
      return b;
    if (op == '&')
      return CellValue::of_text(text_of(a) + text_of(b));
    auto x = number_of(a), y = number_of(b);
    if (!x || !y)
      return CellValue::error("#VALUE!");
    switch (op) {
      case '+':
        return CellValue::of(*x + *y);
      case '-':
        return CellValue::of(*x - *y);
      case '*':
        return CellValue::of(*x * *y);
      case '/':
        if (*y == 0)
          return CellValue::error("#DIV/0!");
        return CellValue::of(*x / *y);
      default: {
        double r = std::pow(*x, *y);
        if (!std::isfinite(r))
          return CellValue::error("#NUM!");
        return CellValue::of(r);
      }
    }
  }

  CellValue comparison() {
    CellValue left = additive();
    skip_space();
    static const char* const OPS[] = {"<=", ">=", "<>", "<", ">", "="};
    for (const char* op : OPS) {
      std::string_view o(op);
      if (s_.substr(pos_, o.size()) != o)
        continue;
      pos_ += o.size();
      CellValue right = additive();
      if (left.kind == CellValue::Kind::Error)
        return left;
      if (right.kind == CellValue::Kind::Error)
        return right;
      int order;
      auto x = number_of(left), y = number_of(right);
      bool numeric = left.kind != CellValue::Kind::Text && right.kind != CellValue::Kind::Text;
      if (numeric && x && y) {
        order = *x < *y ? -1 : *x > *y ? 1 : 0;
      } else {
        std::string a = lower(text_of(left)), b = lower(text_of(right));
        order = a < b ? -1 : a > b ? 1 : 0;
      }
      bool r = o == "<="   ? order <= 0
               : o == ">=" ? order >= 0
               : o == "<>" ? order != 0
               : o == "<"  ? order < 0
               : o == ">"  ? order > 0
                           : order == 0;
      return CellValue::of(r ? 1 : 0);
    }
    return left;
  }

  CellValue additive() {
    CellValue v = term();
    for (;;) {
      skip_space();
      if (pos_ >= s_.size() || (s_[pos_] != '+' && s_[pos_] != '-' && s_[pos_] != '&'))
        return v;
      char op = s_[pos_++];
      v = arithmetic(v, term(), op);
    }
  }

  CellValue term() {
    CellValue v = unary();
    for (;;) {
      skip_space();
      if (pos_ >= s_.size() || (s_[pos_] != '*' && s_[pos_] != '/'))
        return v;
      char op = s_[pos_++];
      v = arithmetic(v, unary(), op);
    }
  }

  CellValue unary() {
    if (++depth_ > MAX_DEPTH)
      return syntax();
    CellValue v;
    if (take('-')) {
      v = arithmetic(CellValue::of(0), unary(), '-');
    } else if (take('+')) {
      v = arithmetic(CellValue::of(0), unary(), '+');
    } else {
      v = primary();
      if (take('^'))
        v = arithmetic(v, unary(), '^');
    }
    --depth_;
    return v;
  }

  CellValue primary() {
    skip_space();
    if (pos_ >= s_.size())
      return syntax();
    char c = s_[pos_];
    if (c == '(') {
      ++pos_;
      CellValue v = comparison();
      if (!take(')'))
        return syntax();
      return v;
    }
    if (c == '"') {
      size_t end = s_.find('"', pos_ + 1);
      if (end == std::string_view::npos)
        return syntax();
      CellValue v = CellValue::of_text(std::string(s_.substr(pos_ + 1, end - pos_ - 1)));
      pos_ = end + 1;
      return v;
    }
    if (is_digit(c) || c == '.') {
      double d = 0;
      auto [p, ec] = std::from_chars(s_.data() + pos_, s_.data() + s_.size(), d);
      if (ec != std::errc())
        return syntax();
      pos_ = static_cast<size_t>(p - s_.data());
      return CellValue::of(d);
    }
    auto values = reference_or_call();
    if (!values)
      return syntax();
    if (values->size() != 1)
      return CellValue::error("#VALUE!");
    return (*values)[0];
  }

  // A function call, a cell, a range or a name at the current position.
  std::optional<Values> reference_or_call() {
    skip_space();
    std::string sheet;
    size_t start = pos_;
    if (pos_ < s_.size() && s_[pos_] == '\'') {
      size_t end = s_.find('\'', pos_ + 1);
      if (end == std::string_view::npos || end + 1 >= s_.size() || s_[end + 1] != '!') {
        return std::nullopt;
      }
      sheet = std::string(s_.substr(pos_ + 1, end - pos_ - 1));
      pos_ = end + 2;
      return reference(sheet);
    }
    while (pos_ < s_.size() && (is_name_char(s_[pos_]) || s_[pos_] == '$'))
      ++pos_;
    std::string word(s_.substr(start, pos_ - start));
    if (word.empty())
      return std::nullopt;
    if (pos_ < s_.size() && s_[pos_] == '!') {
      ++pos_;
      return reference(word);
    }
    if (take('('))
      return call(word);
    pos_ = start;
    size_t length = 0;
    bool fixed = false;
    if (cell_prefix(s_.substr(pos_), &length, &fixed))
      return reference("");
    pos_ = start + word.size();
    std::string upper_word;
    for (char ch : word)
      upper_word += upper(ch);
    if (upper_word == "TRUE")
      return Values{CellValue::of(1)};
    if (upper_word == "FALSE")
      return Values{CellValue::of(0)};
    auto named = context_.name ? context_.name(word) : std::nullopt;
    if (!named)
      return Values{CellValue::error("#NAME?")};
    return expand(named->first, named->second);
  }

  std::optional<Values> reference(const std::string& sheet) {
    size_t length = 0;
    bool fixed = false;
    auto first = cell_prefix(s_.substr(pos_), &length, &fixed);
    if (!first)
      return std::nullopt;
    pos_ += length;
    RangeRef range{*first, *first};
    if (pos_ < s_.size() && s_[pos_] == ':') {
      auto last = cell_prefix(s_.substr(pos_ + 1), &length, &fixed);
      if (!last)
        return std::nullopt;
      pos_ += 1 + length;
      range = RangeRef{{std::min(first->column, last->column), std::min(first->row, last->row)},
                       {std::max(first->column, last->column), std::max(first->row, last->row)}};
    }
    return expand(sheet, range);
  }

  Values expand(const std::string& sheet, RangeRef r) {
    Values out;
    long cells =
        static_cast<long>(r.last.column - r.first.column + 1) * (r.last.row - r.first.row + 1);
    if (cells > MAX_RANGE_CELLS)
      return Values{CellValue::error("#REF!")};
    for (int row = r.first.row; row <= r.last.row; ++row) {
      for (int column = r.first.column; column <= r.last.column; ++column) {
        out.push_back(context_.cell(sheet, CellRef{column, row}));
      }
    }
    return out;
  }

  std::optional<Values> call(const std::string& name) {
    if (depth_ >= MAX_DEPTH)
      return std::nullopt;
    ++depth_;
    auto values = call_inside(name);
    --depth_;
    return values;
  }

  std::optional<Values> call_inside(const std::string& name) {
    std::vector<Values> args;
    if (!take(')')) {
      do {
        args.push_back(argument());
        if (syntax_error_)
          return std::nullopt;
      } while (take(','));
      if (!take(')'))
        return std::nullopt;
    }
    std::string f;
    for (char ch : name)
      f += upper(ch);
    return Values{apply(f, args)};
  }

  Values argument() {
    skip_space();
    size_t start = pos_;
    // A bare range or name is passed whole; anything else is one value.
    if (pos_ < s_.size() && (is_letter(s_[pos_]) || s_[pos_] == '$' || s_[pos_] == '\'')) {
      auto values = reference_or_call();
      skip_space();
      if (values && (pos_ >= s_.size() || s_[pos_] == ',' || s_[pos_] == ')'))
        return *values;
      pos_ = start;
    }
    return Values{comparison()};
  }

  static CellValue apply(const std::string& f, const std::vector<Values>& args) {
    if (f == "SUM" || f == "AVERAGE" || f == "MIN" || f == "MAX" || f == "COUNT") {
      std::vector<double> numbers;
      for (const Values& arg : args) {
        for (const CellValue& v : arg) {
          if (v.kind == CellValue::Kind::Error)
            return v;
          if (v.kind == CellValue::Kind::Number)
            numbers.push_back(v.number);
          // A text given directly counts when it reads as a number, as in spreadsheets.
          if (v.kind == CellValue::Kind::Text && arg.size() == 1) {
            auto n = number_of(v);
            if (!n)
              return CellValue::error("#VALUE!");
            numbers.push_back(*n);
          }
        }
      }
      if (f == "COUNT")
        return CellValue::of(static_cast<double>(numbers.size()));
      double sum = 0;
      for (double n : numbers)
        sum += n;
      if (f == "SUM")
        return CellValue::of(sum);
      if (f == "AVERAGE") {
        if (numbers.empty())
          return CellValue::error("#DIV/0!");
        return CellValue::of(sum / static_cast<double>(numbers.size()));
      }
      if (numbers.empty())
        return CellValue::of(0);
      return CellValue::of(f == "MIN" ? *std::min_element(numbers.begin(), numbers.end())
                                      : *std::max_element(numbers.begin(), numbers.end()));
    }
    // The others take single values.
    std::vector<CellValue> one;
    for (const Values& arg : args) {
      if (arg.size() != 1)
        return CellValue::error("#VALUE!");
      one.push_back(arg[0]);
    }
    if (f == "IF" && (one.size() == 2 || one.size() == 3)) {
      if (one[0].kind == CellValue::Kind::Error)
        return one[0];
      auto cond = number_of(one[0]);
      if (!cond)
        return CellValue::error("#VALUE!");
      if (*cond != 0)
        return one[1];
      return one.size() == 3 ? one[2] : CellValue::of(0);
    }
    if ((f == "ABS" && one.size() == 1) || (f == "ROUND" && (one.size() == 1 || one.size() == 2))) {
      for (const CellValue& v : one) {
        if (v.kind == CellValue::Kind::Error)
          return v;
      }
      auto x = number_of(one[0]);
      auto digits = one.size() == 2 ? number_of(one[1]) : std::optional<double>(0);
      if (!x || !digits || std::fabs(*digits) > 15)
        return CellValue::error("#VALUE!");
      if (f == "ABS")
        return CellValue::of(std::fabs(*x));
      double scale = std::pow(10.0, std::trunc(*digits));
      return CellValue::of(std::round(*x * scale) / scale);
    }
    return CellValue::error("#NAME?");
  }

  static constexpr int MAX_DEPTH = 100;
  static constexpr long MAX_RANGE_CELLS = 100000;

  std::string_view s_;
  const FormulaContext& context_;
  size_t pos_ = 0;
  int depth_ = 0;
  bool syntax_error_ = false;
};

}  // namespace

std::optional<CellRef> parse_cell(std::string_view text) {
  size_t length = 0;
  bool fixed = false;
  auto cell = cell_prefix(text, &length, &fixed);
  if (!cell || length != text.size())
    return std::nullopt;
  return cell;
}

std::optional<RangeRef> parse_range(std::string_view text) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    auto cell = parse_cell(text);
    if (!cell)
      return std::nullopt;
    return RangeRef{*cell, *cell};
  }
  auto a = parse_cell(text.substr(0, colon));
  auto b = parse_cell(text.substr(colon + 1));
  if (!a || !b)
    return std::nullopt;
  return RangeRef{{std::min(a->column, b->column), std::min(a->row, b->row)},
                  {std::max(a->column, b->column), std::max(a->row, b->row)}};
}

std::string column_name(int column) {
  std::string name;
  for (int c = column + 1; c > 0; c = (c - 1) / 26) {
    name.insert(name.begin(), static_cast<char>('A' + (c - 1) % 26));
  }
  return name;
}

std::string cell_name(CellRef cell) {
  return column_name(cell.column) + std::to_string(cell.row + 1);
}

CellValue evaluate_formula(std::string_view formula, const FormulaContext& context) {
  return Evaluator(formula, context).run();
}

std::string shift_formula_rows(std::string_view formula, int rows) {
  std::string out;
  size_t i = 0;
  bool in_text = false;
  while (i < formula.size()) {
    char c = formula[i];
    if (c == '"')
      in_text = !in_text;
    // A reference starts where no name character comes before it.
    bool boundary = i == 0 || !is_name_char(formula[i - 1]);
    size_t length = 0;
    bool fixed_row = false;
    std::optional<CellRef> cell;
    if (!in_text && boundary && (is_letter(c) || c == '$')) {
      cell = cell_prefix(formula.substr(i), &length, &fixed_row);
    }
    // A function name followed by "(" or a sheet name followed by "!" is not a reference.
    if (cell && i + length < formula.size() &&
        (formula[i + length] == '(' || formula[i + length] == '!')) {
      cell.reset();
    }
    if (!cell) {
      out += c;
      ++i;
      continue;
    }
    std::string_view text = formula.substr(i, length);
    if (fixed_row) {
      out.append(text);
    } else {
      long row = cell->row + rows;
      size_t digits = text.find_last_not_of("0123456789") + 1;
      if (row < 0 || row >= MAX_ROWS) {
        out += "#REF!";
      } else {
        out.append(text.substr(0, digits));
        out += std::to_string(row + 1);
      }
    }
    i += length;
  }
  return out;
}

}  // namespace brask::sample
