// document.h: the arena behind `JsonValue` (internal to the JSON layer). A document is a
// chain of malloc'd blocks handed out by bumping a pointer; its header sits in its first
// block, and the whole chain is freed at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "json/json.h"

namespace brask {

class JsonArena {
 public:
  // Every block starts with this header.
  struct Block {
    Block* next;
    size_t bytes;  // including the header
  };

  JsonArena() = default;
  JsonArena(const JsonArena&) = delete;
  JsonArena& operator=(const JsonArena&) = delete;

  // 8-aligned; throws std::bad_alloc.
  void* allocate(size_t bytes) {
    bytes = (bytes + 7) & ~size_t{7};
    if (static_cast<size_t>(end_ - cur_) >= bytes) {
      void* p = cur_;
      cur_ += bytes;
      return p;
    }
    return allocate_slow(bytes);
  }
  // Grows the most recent allocation in place when there is room after it.
  bool extend(void* p, size_t old_bytes, size_t new_bytes);
  // Takes over a block made by `make_block` (or compatible) as it is.
  void add_block(Block* block);
  // Takes over all of `other`'s blocks; `other` is left empty.
  void adopt(JsonArena& other);
  // Frees every block. The arena may live inside one of them.
  void free_all() noexcept;
  size_t bytes() const;

  // A malloc'd block of `bytes` (header included); throws std::bad_alloc.
  static Block* make_block(size_t bytes);
  void set_first(Block* block, size_t used);
  // Later blocks are at least this large (up to the usual cap).
  void grow_from(size_t bytes) { next_bytes_ = bytes > next_bytes_ ? bytes : next_bytes_; }

 private:
  void* allocate_slow(size_t bytes);

  Block* blocks_ = nullptr;
  char* cur_ = nullptr;
  char* end_ = nullptr;
  size_t next_bytes_ = 512;
};

struct JsonDocument {
  JsonValue root;         // first: `JsonValue::node()` reads it through the document pointer
  uint32_t capacity = 0;  // room for elements or members of a root being built
  JsonArena arena;

  // A document in a first block with room for about `bytes` more.
  static JsonDocument* create(size_t bytes);
};

// How the JSON layer writes nodes. A node is 16 plain bytes whose destructor never runs
// inside a document, so nodes are written in place and moved by copying their bytes
// (`raw_copy`). Documents are joined in three steps: `own` makes a value the owner of a
// document whose root is built, `own_root` does so unless the root needs no arena, and
// `place` puts a value into a document being built, taking over its arena if it owns one.
struct JsonBuild {
  static constexpr size_t SHORT_MAX = JsonValue::SHORT_MAX;
  // At most `SHORT_MAX` bytes.
  static void set_short_string(JsonValue* v, std::string_view s) {
    v->kind_ = JsonKind::String;
    v->flags_ = JsonValue::SHORT;
    v->short_size_ = static_cast<uint8_t>(s.size());
    if (!s.empty())  // an empty view may have no data at all
      std::memcpy(static_cast<void*>(v), s.data(), s.size());
  }
  static void set_string(JsonValue* v, std::string_view s, JsonArena* arena) {
    if (s.size() <= JsonValue::SHORT_MAX) {
      set_short_string(v, s);
      return;
    }
    v->kind_ = JsonKind::String;
    v->flags_ = 0;
    char* chars = static_cast<char*>(arena->allocate(s.size()));
    std::memcpy(chars, s.data(), s.size());
    v->p_.chars = chars;
    v->size_ = checked_size(s.size());
  }
  static void set_array(JsonValue* v, const JsonValue* elements, size_t n) {
    v->kind_ = JsonKind::Array;
    v->flags_ = 0;
    v->p_.elements = elements;
    v->size_ = checked_size(n);
  }
  static void set_object(JsonValue* v, const JsonMember* members, size_t n) {
    v->kind_ = JsonKind::Object;
    v->flags_ = 0;
    v->p_.members = members;
    v->size_ = checked_size(n);
  }
  static JsonValue* key(JsonMember* m) { return &m->key_; }
  static JsonValue* value(JsonMember* m) { return &m->value_; }
  // Makes `v` the owner of `doc`, whose root is the value.
  static void own(JsonValue* v, JsonDocument* doc);
  // As `own`, but a root that needs no arena (a scalar, a short string, an empty
  // container) is held inline and `doc` freed: only strings, arrays and objects have owners.
  static void own_root(JsonValue* v, JsonDocument* doc);
  // `v`'s contents as a node of `arena`: an owner's arena is taken over, anything else is
  // copied as it is. `v` is left null.
  static void place(JsonValue* dst, JsonValue&& v, JsonArena* arena);
  // A deep copy of node `src` into `arena`.
  static void copy(JsonValue* dst, const JsonValue& src, JsonArena* arena);
  // Arena bytes that `copy` takes for node `v`.
  static size_t footprint(const JsonValue& v);
  // Writes `members` in key order to `to`, keeping the last of equal keys; returns how many.
  // Up to SMALL_OBJECT go straight to `to`, other memory; more sort in place, `to` may alias.
  static constexpr size_t SMALL_OBJECT = 16;
  static size_t sort_members(JsonMember* members, size_t n, JsonMember* to);
  static void raw_copy(void* dst, const void* src, size_t nodes) {
    std::memcpy(dst, src, nodes * sizeof(JsonValue));
  }
  static uint32_t checked_size(size_t n);
  static JsonDocument* document_of(const JsonValue& v);
  // The document of a builder's value, made on first use.
  static JsonDocument* builder_document(JsonValue* v);
  static void* reserve_root(JsonDocument* doc, size_t want, size_t width);
};

}  // namespace brask
