// scanner.h: `JsonScanner`, a pull reader over JSON text and the code `parse_json` runs on.
// Readers that must report their own faults at exact positions (the apps file) walk the
// text with it instead of parsing to a `JsonValue` first. Holds a view of the text, which
// must outlive it. One scanner per thread; pure otherwise.
//
// Every fault is "{what} at line {L} column {C}" built by `fault(what, consumed)`: L is 1 plus
// the line feeds in the first `consumed` bytes, C is `consumed` minus the offset just after
// the last of them. A fault at a byte is `fault(what, offset_of_byte + 1)`, one just before
// an opening bracket is `fault(what, offset_of_bracket)`, end of text is `fault(what, size)`.
//
// Reading an object member by member: the walker consumes brackets and commas and counts
// the depth; the callback consumes the colon and the value.
//
//   if (s.skip_whitespace() != '{') return s.expect_value_fault();  // not an object
//   Result<void> read = s.read_object([&](std::string_view key) -> Result<void> {
//     if (key != "name") return s.skip_member();  // any value, checked
//     if (auto colon = s.scan_colon(); !colon.ok()) return colon;
//     if (s.skip_whitespace() != '"') ...          // a wrong type, reported where you like
//     auto name = s.scan_string();                 // offset() is just after its quote
//   });
//   if (read.ok()) read = s.finish();  // only whitespace may follow
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/result.h"
#include "json/json.h"

namespace brask {

class JsonArena;
struct JsonDocument;

// Fault texts, as they appear before " at line L column C".
inline constexpr std::string_view JSON_EOF_IN_LIST = "EOF while parsing a list";
inline constexpr std::string_view JSON_EOF_IN_OBJECT = "EOF while parsing an object";
inline constexpr std::string_view JSON_EOF_IN_STRING = "EOF while parsing a string";
inline constexpr std::string_view JSON_EOF_IN_VALUE = "EOF while parsing a value";
inline constexpr std::string_view JSON_EXPECTED_COLON = "expected `:`";
inline constexpr std::string_view JSON_EXPECTED_LIST_COMMA_OR_END = "expected `,` or `]`";
inline constexpr std::string_view JSON_EXPECTED_OBJECT_COMMA_OR_END = "expected `,` or `}`";
inline constexpr std::string_view JSON_EXPECTED_IDENT = "expected ident";
inline constexpr std::string_view JSON_EXPECTED_VALUE = "expected value";
inline constexpr std::string_view JSON_INVALID_ESCAPE = "invalid escape";
inline constexpr std::string_view JSON_INVALID_NUMBER = "invalid number";
inline constexpr std::string_view JSON_NUMBER_OUT_OF_RANGE = "number out of range";
inline constexpr std::string_view JSON_INVALID_UNICODE = "invalid unicode code point";
inline constexpr std::string_view JSON_CONTROL_CHARACTER =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view JSON_KEY_MUST_BE_STRING = "key must be a string";
inline constexpr std::string_view JSON_LONE_SURROGATE = "lone leading surrogate in hex escape";
inline constexpr std::string_view JSON_TRAILING_COMMA = "trailing comma";
inline constexpr std::string_view JSON_TRAILING_CHARACTERS = "trailing characters";
inline constexpr std::string_view JSON_UNEXPECTED_END_OF_HEX_ESCAPE =
    "unexpected end of hex escape";
inline constexpr std::string_view JSON_RECURSION_LIMIT = "recursion limit exceeded";

// Whether a number starts with byte `c`, as `peek()` gives it.
inline bool is_json_number_start(int c) {
  return c == '-' || (c >= '0' && c <= '9');
}

class JsonScanner {
 public:
  explicit JsonScanner(std::string_view text) : text_(text) {}
  ~JsonScanner();
  JsonScanner(const JsonScanner&) = delete;
  JsonScanner& operator=(const JsonScanner&) = delete;

  std::string_view text() const { return text_; }
  // Bytes consumed so far.
  size_t offset() const { return pos_; }
  bool at_end() const { return pos_ >= text_.size(); }
  // The next byte (0-255), or -1 at the end of the text.
  int peek() const { return at_end() ? -1 : static_cast<unsigned char>(text_[pos_]); }
  // Consumes `n` bytes, at most up to the end.
  void advance(size_t n = 1) { pos_ = n > text_.size() - pos_ ? text_.size() : pos_ + n; }
  // Consumes space, tab, line feed and carriage return; returns `peek()`.
  int skip_whitespace();

  // At a `"`: the decoded string; offset() is left just after the closing quote.
  Result<std::string> scan_string();
  // At `-` or a digit: the number as u64, i64 or double; offset() - 1 is its last byte.
  Result<JsonValue> scan_number();
  // At `t`, `f` or `n`: true, false or null.
  Result<JsonValue> scan_literal();
  // Skips whitespace, then reads one whole value. `open` is how many arrays and objects
  // the caller has open around it (they count against `MAX_JSON_DEPTH`).
  Result<JsonValue> parse_value(int open = 0);
  // As `parse_value`, checking everything but keeping nothing.
  Result<void> skip_value(int open = 0);

  // At `[` or `{`: consumes it, or fails with "recursion limit exceeded" at the bracket when
  // `open` containers are already open and no more fit.
  Result<void> begin_container(int open);
  // After a member's key: consumes whitespace and the `:`.
  Result<void> scan_colon();
  // After the top-level value: only whitespace may follow.
  Result<void> finish();

  // Walkers that count the depth themselves. At `{`: `member(key)` is called after each
  // key, with offset() just after its closing quote; it consumes the colon and the value
  // (`skip_member()` does both for members it does not want). Stops at the first failure.
  template <class F>
  Result<void> read_object(F&& member);
  // At `[`: `element()` is called for each element, which it consumes.
  template <class F>
  Result<void> read_array(F&& element);
  // Inside `read_object`: the colon and a value of any kind, checked.
  Result<void> skip_member();

  // The fault to report when a value must start at the next byte (after whitespace):
  // "expected value" at that byte, or "EOF while parsing a value" at the end.
  Failure expect_value_fault();
  Failure fault(std::string_view what, size_t consumed) const;

 private:
  // Growing room for the elements or members of the containers being read, with space
  // for an arena block header in front, so that a large outermost container can keep it.
  struct Scratch {
    char* block = nullptr;
    size_t used = 0;  // bytes after the header
    size_t capacity = 0;
    ~Scratch() { std::free(block); }
    char* data() const { return block + HEADER; }
    void* push(size_t bytes) {
      if (capacity - used < bytes)
        grow(bytes);
      void* p = data() + used;
      used += bytes;
      return p;
    }
    void grow(size_t bytes);
    static constexpr size_t HEADER = 16;
  };

  // Internal steps report through `fault_what_`/`fault_at_` and return false.
  bool set_fault(std::string_view what, size_t consumed) {
    fault_what_ = what;
    fault_at_ = consumed;
    return false;
  }
  Failure take_fault() const { return fault(fault_what_, fault_at_); }
  JsonArena* arena();
  // A null `out` checks the text without keeping anything; otherwise `*out` is a raw node
  // of the document being built.
  bool value_into(JsonValue* out, int open);
  bool array_into(JsonValue* out, int open);
  bool object_into(JsonValue* out, int open);
  bool string_into(JsonValue* out);
  // The string at the cursor, decoded: a view of the text when it has no escapes, else of
  // `decoded_`. A null `out` only checks it.
  bool string_step(std::string_view* out);
  // At a backslash that `string_step` did not decode as a one-letter escape: checks a
  // `\u` escape and, with `keep`, appends it to `decoded_`, which has room for it.
  bool escape_into(bool keep);
  bool number_into(JsonValue* out);
  bool literal_into(JsonValue* out);
  bool hex4(uint32_t* code);
  bool open_step(int open);  // at `[` or `{`
  bool colon_step();
  // Inside an array or object closed by `close`: sets `*more` when an element or member
  // follows (for an object, its key's `"` is next), else consumes `close`. Consumes the `,`
  // between items; `first` is true before the first.
  bool item_step(char close, bool first, bool* more);
  // The loop of `read_object` and `read_array`; `item` reads one member or element.
  template <class Item>
  Result<void> walk(char close, Item&& item);
  // `count` items of `width` bytes at the top of `scratch` from `base` on, as arena memory.
  void* take_items(Scratch* scratch, size_t base, size_t count, size_t width);

  std::string_view text_;
  size_t pos_ = 0;
  std::string_view fault_what_;
  size_t fault_at_ = 0;
  int depth_ = 0;
  JsonDocument* doc_ = nullptr;  // of the value being read, made on first need
  Scratch values_;
  Scratch members_;
  Scratch decoded_;  // a string with escapes, decoded
};

template <class Item>
Result<void> JsonScanner::walk(char close, Item&& item) {
  if (Result<void> open = begin_container(depth_); !open.ok())
    return open;
  ++depth_;
  Result<void> read;
  bool more = true;
  for (bool first = true; read.ok() && more; first = false) {
    if (!item_step(close, first, &more))
      read = take_fault();
    else if (more)
      read = item();
  }
  --depth_;
  return read;
}

template <class F>
Result<void> JsonScanner::read_object(F&& member) {
  return walk('}', [&]() -> Result<void> {
    Result<std::string> key = scan_string();
    if (!key.ok())
      return key.failure();
    return member(std::string_view(*key));
  });
}

template <class F>
Result<void> JsonScanner::read_array(F&& element) {
  return walk(']', element);
}

}  // namespace brask
