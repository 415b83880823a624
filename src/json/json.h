// json.h: `JsonValue`, the one in-memory JSON model of the gateway: null, bool,
// numbers held exactly (u64 for integers >= 0, i64 for negative integers, double
// otherwise), strings (any bytes, including NUL), arrays and objects whose keys are
// unique and kept in byte order. Values own their contents; copying copies all.
// Plain data: safe to read from many threads, to change from one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace brask {

class JsonValue;

enum class JsonKind { Null, Bool, Unsigned, Signed, Double, String, Array, Object };

using JsonArray = std::vector<JsonValue>;

// An object: members sorted by key (byte order, shorter first on a common prefix),
// keys unique. Lookups are exact byte comparisons.
class JsonObject {
 public:
  using Member = std::pair<std::string, JsonValue>;
  using const_iterator = std::vector<Member>::const_iterator;
  using iterator = std::vector<Member>::iterator;

  JsonObject() = default;
  JsonObject(std::initializer_list<Member> members);

  // Members in any order; a later member replaces an earlier one with the same key.
  static JsonObject from_members(std::vector<Member> members);

  size_t size() const;
  bool empty() const;
  const_iterator begin() const;
  const_iterator end() const;
  iterator begin();
  iterator end();

  // The member's value, or nullptr when absent.
  const JsonValue* find(std::string_view key) const;
  JsonValue* find(std::string_view key);
  bool contains(std::string_view key) const;

  // Inserts or replaces; returns the stored value.
  JsonValue& set(std::string key, JsonValue value);
  bool erase(std::string_view key);

  bool operator==(const JsonObject& other) const;

 private:
  std::vector<Member> members_;  // sorted by key, unique
};

class JsonValue {
 public:
  JsonValue() = default;  // null
  JsonValue(std::nullptr_t) {}
  JsonValue(bool b) : data_(b) {}
  // Integers of zero or more are held unsigned, negative ones signed.
  JsonValue(int n) : JsonValue(static_cast<long long>(n)) {}
  JsonValue(long n) : JsonValue(static_cast<long long>(n)) {}
  JsonValue(long long n) {
    if (n >= 0) {
      data_ = static_cast<uint64_t>(n);
    } else {
      data_ = static_cast<int64_t>(n);
    }
  }
  JsonValue(unsigned n) : data_(static_cast<uint64_t>(n)) {}
  JsonValue(unsigned long n) : data_(static_cast<uint64_t>(n)) {}
  JsonValue(unsigned long long n) : data_(static_cast<uint64_t>(n)) {}
  JsonValue(double d) : data_(d) {}
  // Needed beside the bool constructor, or a string literal would become a bool.
  JsonValue(const char* s) : data_(std::string(s)) {}
  JsonValue(std::string s) : data_(std::move(s)) {}
  JsonValue(std::string_view s) : data_(std::string(s)) {}
  JsonValue(JsonArray a) : data_(std::move(a)) {}
  JsonValue(JsonObject o) : data_(std::move(o)) {}

  JsonKind kind() const { return static_cast<JsonKind>(data_.index()); }
  bool is_null() const { return kind() == JsonKind::Null; }
  bool is_number() const {
    return kind() == JsonKind::Unsigned || kind() == JsonKind::Signed ||
           kind() == JsonKind::Double;
  }

  // Typed access: nullptr when the value is of another kind. Never throws.
  const bool* as_bool() const { return std::get_if<bool>(&data_); }
  const uint64_t* as_unsigned() const { return std::get_if<uint64_t>(&data_); }
  const int64_t* as_signed() const { return std::get_if<int64_t>(&data_); }
  const double* as_double() const { return std::get_if<double>(&data_); }
  const std::string* as_string() const { return std::get_if<std::string>(&data_); }
  std::string* as_string() { return std::get_if<std::string>(&data_); }
  const JsonArray* as_array() const { return std::get_if<JsonArray>(&data_); }
  JsonArray* as_array() { return std::get_if<JsonArray>(&data_); }
  const JsonObject* as_object() const { return std::get_if<JsonObject>(&data_); }
  JsonObject* as_object() { return std::get_if<JsonObject>(&data_); }

  // Member of an object; nullptr when absent or when this is not an object.
  const JsonValue* find(std::string_view key) const {
    const JsonObject* o = as_object();
    return o ? o->find(key) : nullptr;
  }

  // Structural equality; numbers compare equal only within the same kind.
  bool operator==(const JsonValue& other) const { return data_ == other.data_; }

 private:
  // Order matches `JsonKind`.
  std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, JsonArray,
               JsonObject>
      data_;
};

// Defined here because a member is a pair holding a `JsonValue`, which must be complete
// before any vector operation on the members is instantiated.
inline size_t JsonObject::size() const { return members_.size(); }
inline bool JsonObject::empty() const { return members_.empty(); }
inline JsonObject::const_iterator JsonObject::begin() const { return members_.begin(); }
inline JsonObject::const_iterator JsonObject::end() const { return members_.end(); }
inline JsonObject::iterator JsonObject::begin() { return members_.begin(); }
inline JsonObject::iterator JsonObject::end() { return members_.end(); }
inline bool JsonObject::contains(std::string_view key) const { return find(key) != nullptr; }

}  // namespace brask
