// json.h: `JsonValue`, the one in-memory JSON model of the gateway: null, bool,
// numbers held exactly (u64 for integers >= 0, i64 for negative integers, double
// otherwise), strings (any bytes, including NUL), arrays and objects whose keys are
// unique and kept in byte order.
//
// Ownership, in three roles:
// - An owner: a `JsonValue` you hold (a local, a member, a vector element). It owns its
//   document: a malloc'd arena where its long strings (over 13 bytes; shorter ones sit in
//   the 16-byte value itself), array elements and object members live, freed in one go.
//   Moving an owner hands the document over; copying one copies it into a new arena.
// - A node: a `const JsonValue&` reached through an owner (`find`, `as_array`, iteration).
//   A view into the owner's document, valid while that owner lives and is not assigned
//   to. Nodes are only handed out `const`, so none can be changed, moved from or made to
//   hold another arena's memory; copying one out makes a new owner.
// - A builder: `JsonArray`/`JsonObject`, an owner being filled. `push_back`, `set` and
//   braces take their values by value: a moved-in owner's arena is taken over without
//   copying (pass owners with `std::move`), a node is copied in.
// The views `as_string`, `as_array` and `as_object` return live as long as the value they
// came from. Arena memory comes from malloc; when it runs out, `std::bad_alloc` is thrown,
// as by `new`. Plain data: safe to read from many threads, to change from one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace brask {

class JsonValue;
class JsonMember;
class JsonArray;
class JsonObject;
struct JsonDocument;

enum class JsonKind : uint8_t { Null, Bool, Unsigned, Signed, Double, String, Array, Object };

// A view or nothing, used like the pointer it stands for: `if (!s)`, `*s`, `s->size()`.
template <class T>
class JsonView {
 public:
  JsonView() = default;
  JsonView(std::nullptr_t) {}
  explicit JsonView(T value) : value_(value), ok_(true) {}
  explicit operator bool() const { return ok_; }
  const T& operator*() const& { return value_; }
  // By value from a temporary, so `for (auto& e : *v.as_array())` holds what it walks.
  T operator*() const&& { return value_; }
  const T* operator->() const { return &value_; }
  friend bool operator==(const JsonView& a, std::nullptr_t) { return !a.ok_; }

 private:
  T value_{};
  bool ok_ = false;
};

// An object's members: sorted by key (byte order, shorter first on a common prefix), keys
// unique. Lookups are exact byte comparisons.
class JsonObjectView {
 public:
  JsonObjectView() = default;
  JsonObjectView(const JsonMember* members, size_t n) : members_(members), size_(n) {}
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const JsonMember* begin() const { return members_; }
  const JsonMember* end() const;
  const JsonMember& operator[](size_t i) const;
  // The member's value, or nullptr when absent.
  const JsonValue* find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }

 private:
  const JsonMember* members_ = nullptr;
  size_t size_ = 0;
};

class alignas(8) JsonValue {
 public:
  JsonValue() {}  // null
  JsonValue(std::nullptr_t) {}
  JsonValue(bool b) : kind_(JsonKind::Bool) { p_.b = b; }
  // Integers of zero or more are held unsigned, negative ones signed.
  JsonValue(int n) : JsonValue(static_cast<long long>(n)) {}
  JsonValue(long n) : JsonValue(static_cast<long long>(n)) {}
  JsonValue(long long n) {
    if (n >= 0) {
      kind_ = JsonKind::Unsigned;
      p_.u = static_cast<uint64_t>(n);
    } else {
      kind_ = JsonKind::Signed;
      p_.i = static_cast<int64_t>(n);
    }
  }
  JsonValue(unsigned n) : JsonValue(static_cast<unsigned long long>(n)) {}
  JsonValue(unsigned long n) : JsonValue(static_cast<unsigned long long>(n)) {}
  JsonValue(unsigned long long n) : kind_(JsonKind::Unsigned) { p_.u = static_cast<uint64_t>(n); }
  JsonValue(double d) : kind_(JsonKind::Double) { p_.d = d; }
  // Needed beside the bool constructor, or a string literal would become a bool.
  JsonValue(const char* s) : JsonValue(std::string_view(s)) {}
  JsonValue(const std::string& s) : JsonValue(std::string_view(s)) {}
  JsonValue(std::string_view s);
  JsonValue(JsonArray a);
  JsonValue(JsonObject o);

  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept : JsonValue() { steal(other); }
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue() {
    if (flags_ & OWNER)
      release();
  }

  JsonKind kind() const { return kind_; }
  bool is_null() const { return kind_ == JsonKind::Null; }
  bool is_number() const {
    return kind_ == JsonKind::Unsigned || kind_ == JsonKind::Signed || kind_ == JsonKind::Double;
  }

  // Typed access: nothing when the value is of another kind. Never throws. Views last as
  // long as the value they came from.
  const bool* as_bool() const { return kind_ == JsonKind::Bool ? &p_.b : nullptr; }
  const uint64_t* as_unsigned() const { return kind_ == JsonKind::Unsigned ? &p_.u : nullptr; }
  const int64_t* as_signed() const { return kind_ == JsonKind::Signed ? &p_.i : nullptr; }
  const double* as_double() const { return kind_ == JsonKind::Double ? &p_.d : nullptr; }
  JsonView<std::string_view> as_string() const {
    return kind_ == JsonKind::String ? JsonView<std::string_view>(node().string_unchecked())
                                     : nullptr;
  }
  JsonView<std::span<const JsonValue>> as_array() const {
    if (kind_ != JsonKind::Array)
      return nullptr;
    const JsonValue& n = node();
    return JsonView<std::span<const JsonValue>>({n.p_.elements, n.size_});
  }
  JsonView<JsonObjectView> as_object() const {
    if (kind_ != JsonKind::Object)
      return nullptr;
    const JsonValue& n = node();
    return JsonView<JsonObjectView>(JsonObjectView(n.p_.members, n.size_));
  }

  // Member of an object; nullptr when absent or when this is not an object.
  const JsonValue* find(std::string_view key) const;

  // The member `key` of this object as a value of its own, without copying: it keeps this
  // value's document, and the rest of it is dropped. Null when absent.
  JsonValue take(std::string_view key) &&;

  // Structural equality; numbers compare equal only within the same kind.
  bool operator==(const JsonValue& other) const;

 private:
  friend class JsonArray;
  friend class JsonObject;
  friend class JsonMember;
  friend class JsonObjectView;
  friend struct JsonBuild;

  static constexpr uint8_t OWNER = 1;  // the outermost value: `p_.doc` holds the contents
  static constexpr uint8_t SHORT = 2;  // a string of `short_size_` bytes held from byte 0
  static constexpr size_t SHORT_MAX = 13;

  // The value itself: an owner's contents live in its document.
  const JsonValue& node() const;
  std::string_view string_unchecked() const {
    if (flags_ & SHORT)
      return {reinterpret_cast<const char*>(this), short_size_};
    return {p_.chars, size_};
  }
  void steal(JsonValue& other) noexcept;
  void release() noexcept;

  union Payload {
    bool b;
    uint64_t u;
    int64_t i;
    double d;
    const char* chars;
    const JsonValue* elements;
    const JsonMember* members;
    JsonDocument* doc;
  };
  Payload p_{.u = 0};
  uint32_t size_ = 0;                   // bytes of a string, elements or members of a container
  [[maybe_unused]] uint8_t spare_ = 0;  // the 13th byte of a short string
  uint8_t short_size_ = 0;
  uint8_t flags_ = 0;
  JsonKind kind_ = JsonKind::Null;
};
static_assert(sizeof(JsonValue) == 16);

class JsonMember {
 public:
  std::string_view key() const { return key_.string_unchecked(); }
  const JsonValue& value() const { return value_; }
  bool operator==(const JsonMember& other) const {
    return key() == other.key() && value_ == other.value_;
  }
  // For `const auto& [key, value] : *object`.
  template <size_t I>
  decltype(auto) get() const {
    if constexpr (I == 0)
      return key();
    else
      return (value_);
  }

 private:
  friend class JsonValue;
  friend class JsonObject;
  friend struct JsonBuild;
  JsonValue key_;  // a string
  JsonValue value_;
};

// An array being built. Elements are taken in as `push_back` is called.
class JsonArray {
 public:
  // An element written in braces; `mutable` for the reason `JsonObject::Member` gives.
  struct Element {
    template <class T>
    requires std::is_constructible_v<JsonValue, T> Element(T&& v) : value(std::forward<T>(v)) {}
    mutable JsonValue value;
  };

  JsonArray();
  JsonArray(std::initializer_list<Element> elements);
  template <class It>
  JsonArray(It first, It last) : JsonArray() {
    for (; first != last; ++first)
      push_back(JsonValue(*first));
  }

  size_t size() const { return value_.node().size_; }
  bool empty() const { return size() == 0; }
  const JsonValue* begin() const { return span().data(); }
  const JsonValue* end() const { return span().data() + span().size(); }
  const JsonValue& operator[](size_t i) const { return span()[i]; }
  std::span<const JsonValue> span() const { return *value_.as_array(); }

  void reserve(size_t n);
  void push_back(JsonValue element);
  template <class... A>
  void emplace_back(A&&... args) {
    push_back(JsonValue(std::forward<A>(args)...));
  }

  bool operator==(const JsonArray& other) const { return value_ == other.value_; }

 private:
  friend class JsonValue;
  JsonValue value_;  // an array
};

// An object being built: members sorted by key, keys unique.
class JsonObject {
 public:
  // A member written in braces. An initializer list's elements are const; the value is
  // `mutable` so that building from braces moves it instead of copying.
  struct Member {
    std::string_view key;
    mutable JsonValue value;
  };

  JsonObject();
  // A later member replaces an earlier one with the same key.
  JsonObject(std::initializer_list<Member> members);
  // A copy of another object's members, to change.
  explicit JsonObject(JsonObjectView members);

  size_t size() const { return value_.node().size_; }
  bool empty() const { return size() == 0; }
  const JsonMember* begin() const { return view().begin(); }
  const JsonMember* end() const { return view().end(); }
  JsonObjectView view() const { return *value_.as_object(); }

  // The member's value, or nullptr when absent.
  const JsonValue* find(std::string_view key) const { return view().find(key); }
  bool contains(std::string_view key) const { return find(key) != nullptr; }

  // Inserts or replaces. Like a vector's, views and pointers taken before may not last.
  void set(std::string_view key, JsonValue value);
  bool erase(std::string_view key);

  bool operator==(const JsonObject& other) const { return value_ == other.value_; }

 private:
  friend class JsonValue;
  JsonValue value_;  // an object
};

inline const JsonMember* JsonObjectView::end() const {
  return members_ + size_;
}
inline const JsonMember& JsonObjectView::operator[](size_t i) const {
  return members_[i];
}

inline const JsonValue& JsonValue::node() const {
  // The document's first member is its root.
  return (flags_ & OWNER) ? *reinterpret_cast<const JsonValue*>(p_.doc) : *this;
}

// Bytes held by a value's document (arena blocks); 0 for an inline value.
size_t json_memory(const JsonValue& value);

}  // namespace brask

template <>
struct std::tuple_size<brask::JsonMember> : std::integral_constant<size_t, 2> {};
template <>
struct std::tuple_element<0, brask::JsonMember> {
  using type = const std::string_view;
};
template <>
struct std::tuple_element<1, brask::JsonMember> {
  using type = const brask::JsonValue;
};
