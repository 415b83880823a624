// json.h: `JsonValue`, the one in-memory JSON model of the gateway: null, bool,
// numbers held exactly (u64 for integers >= 0, i64 for negative integers, double
// otherwise), strings (any bytes, including NUL), arrays and objects whose keys are
// unique and kept in byte order. Values own their contents; copying copies all.
// Plain data: safe to read from many threads, to change from one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <utility>
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
  JsonValue() {}  // null
  JsonValue(std::nullptr_t) {}
  JsonValue(bool b) : kind_(JsonKind::Bool) { u_.b = b; }
  // Integers of zero or more are held unsigned, negative ones signed.
  JsonValue(int n) : JsonValue(static_cast<long long>(n)) {}
  JsonValue(long n) : JsonValue(static_cast<long long>(n)) {}
  JsonValue(long long n) {
    if (n >= 0) {
      kind_ = JsonKind::Unsigned;
      u_.u = static_cast<uint64_t>(n);
    } else {
      kind_ = JsonKind::Signed;
      u_.i = static_cast<int64_t>(n);
    }
  }
  JsonValue(unsigned n) : JsonValue(static_cast<unsigned long long>(n)) {}
  JsonValue(unsigned long n) : JsonValue(static_cast<unsigned long long>(n)) {}
  JsonValue(unsigned long long n) : kind_(JsonKind::Unsigned) { u_.u = static_cast<uint64_t>(n); }
  JsonValue(double d) : kind_(JsonKind::Double) { u_.d = d; }
  // Needed beside the bool constructor, or a string literal would become a bool.
  JsonValue(const char* s) : kind_(JsonKind::String) { new (&u_.s) std::string(s); }
  JsonValue(std::string s) : kind_(JsonKind::String) { new (&u_.s) std::string(std::move(s)); }
  JsonValue(std::string_view s) : kind_(JsonKind::String) { new (&u_.s) std::string(s); }
  JsonValue(JsonArray a) : kind_(JsonKind::Array) { new (&u_.a) JsonArray(std::move(a)); }
  JsonValue(JsonObject o) : kind_(JsonKind::Object) { new (&u_.o) JsonObject(std::move(o)); }

  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue() {
    if (kind_ >= JsonKind::String)
      destroy();
  }

  JsonKind kind() const { return kind_; }
  bool is_null() const { return kind_ == JsonKind::Null; }
  bool is_number() const {
    return kind_ == JsonKind::Unsigned || kind_ == JsonKind::Signed || kind_ == JsonKind::Double;
  }

  // Typed access: nullptr when the value is of another kind. Never throws.
  const bool* as_bool() const { return kind_ == JsonKind::Bool ? &u_.b : nullptr; }
  const uint64_t* as_unsigned() const { return kind_ == JsonKind::Unsigned ? &u_.u : nullptr; }
  const int64_t* as_signed() const { return kind_ == JsonKind::Signed ? &u_.i : nullptr; }
  const double* as_double() const { return kind_ == JsonKind::Double ? &u_.d : nullptr; }
  const std::string* as_string() const { return kind_ == JsonKind::String ? &u_.s : nullptr; }
  std::string* as_string() { return kind_ == JsonKind::String ? &u_.s : nullptr; }
  const JsonArray* as_array() const { return kind_ == JsonKind::Array ? &u_.a : nullptr; }
  JsonArray* as_array() { return kind_ == JsonKind::Array ? &u_.a : nullptr; }
  const JsonObject* as_object() const { return kind_ == JsonKind::Object ? &u_.o : nullptr; }
  JsonObject* as_object() { return kind_ == JsonKind::Object ? &u_.o : nullptr; }

  // Member of an object; nullptr when absent or when this is not an object.
  const JsonValue* find(std::string_view key) const {
    const JsonObject* o = as_object();
    return o ? o->find(key) : nullptr;
  }

  // Structural equality; numbers compare equal only within the same kind.
  bool operator==(const JsonValue& other) const;

 private:
  void destroy();  // of a string, array or object
  void move_from(JsonValue&& other);

  // A tagged union rather than std::variant: destroying and moving the millions of
  // scalars in a large document stays a branch instead of an indirect call.
  JsonKind kind_ = JsonKind::Null;
  union Storage {
    Storage() : u(0) {}  // a null or bool moves as eight defined bytes
    ~Storage() {}
    bool b;
    uint64_t u;
    int64_t i;
    double d;
    std::string s;
    JsonArray a;
    JsonObject o;
  } u_;
};

inline void JsonValue::move_from(JsonValue&& other) {
  kind_ = other.kind_;
  switch (kind_) {
    case JsonKind::String:
      new (&u_.s) std::string(std::move(other.u_.s));
      break;
    case JsonKind::Array:
      new (&u_.a) JsonArray(std::move(other.u_.a));
      break;
    case JsonKind::Object:
      new (&u_.o) JsonObject(std::move(other.u_.o));
      break;
    default:
      std::memcpy(static_cast<void*>(&u_), static_cast<const void*>(&other.u_), sizeof(uint64_t));
  }
}

inline JsonValue::JsonValue(JsonValue&& other) noexcept {
  move_from(std::move(other));
}

inline JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this == &other)
    return *this;
  if (kind_ >= JsonKind::String) {
    // `other` may live inside this value (v = std::move(v.as_array()->front())).
    JsonValue taken(std::move(other));
    destroy();
    move_from(std::move(taken));
  } else {
    move_from(std::move(other));
  }
  return *this;
}

// Defined here because a member is a pair holding a `JsonValue`, which must be complete
// before any vector operation on the members is instantiated.
inline size_t JsonObject::size() const {
  return members_.size();
}
inline bool JsonObject::empty() const {
  return members_.empty();
}
inline JsonObject::const_iterator JsonObject::begin() const {
  return members_.begin();
}
inline JsonObject::const_iterator JsonObject::end() const {
  return members_.end();
}
inline JsonObject::iterator JsonObject::begin() {
  return members_.begin();
}
inline JsonObject::iterator JsonObject::end() {
  return members_.end();
}
inline bool JsonObject::contains(std::string_view key) const {
  return find(key) != nullptr;
}

}  // namespace brask
