#include "json/json.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>
#include <span>
#include <type_traits>

#include "json/document.h"

namespace brask {

static_assert(std::is_standard_layout_v<JsonDocument>);
static_assert(sizeof(JsonMember) == 32);

namespace {

constexpr size_t MAX_BLOCK_BYTES = 64 * 1024;

const JsonMember* lower_bound(const JsonMember* first, size_t n, std::string_view key) {
  return std::lower_bound(first, first + n, key,
                          [](const JsonMember& m, std::string_view k) { return m.key() < k; });
}

}  // namespace

// ---- arena ----

JsonArena::Block* JsonArena::make_block(size_t bytes) {
  void* p = std::malloc(bytes);
  if (p == nullptr)
    throw std::bad_alloc();
  Block* block = static_cast<Block*>(p);
  block->next = nullptr;
  block->bytes = bytes;
  return block;
}

void JsonArena::set_first(Block* block, size_t used) {
  blocks_ = block;
  cur_ = reinterpret_cast<char*>(block) + used;
  end_ = reinterpret_cast<char*>(block) + block->bytes;
}

void* JsonArena::allocate_slow(size_t bytes) {
  // Large pieces get a block of their own, so the current block's room is not lost.
  if (bytes > next_bytes_ / 4) {
    Block* block = make_block(sizeof(Block) + bytes);
    add_block(block);
    return block + 1;
  }
  Block* block = make_block(next_bytes_);
  next_bytes_ = std::min(next_bytes_ * 2, MAX_BLOCK_BYTES);
  block->next = blocks_;
  set_first(block, sizeof(Block));
  return allocate(bytes);
}

bool JsonArena::extend(void* p, size_t old_bytes, size_t new_bytes) {
  old_bytes = (old_bytes + 7) & ~size_t{7};
  new_bytes = (new_bytes + 7) & ~size_t{7};
  if (static_cast<char*>(p) + old_bytes != cur_ ||
      static_cast<size_t>(end_ - static_cast<char*>(p)) < new_bytes)
    return false;
  cur_ = static_cast<char*>(p) + new_bytes;
  return true;
}

void JsonArena::add_block(Block* block) {
  if (blocks_ == nullptr) {
    blocks_ = block;
    return;
  }
  block->next = blocks_->next;
  blocks_->next = block;
}

void JsonArena::adopt(JsonArena& other) {
  Block* last = other.blocks_;
  if (last == nullptr)
    return;
  while (last->next != nullptr)
    last = last->next;
  if (blocks_ == nullptr) {
    blocks_ = other.blocks_;
  } else {
    // Behind the current block, which keeps taking allocations.
    last->next = blocks_->next;
    blocks_->next = other.blocks_;
  }
  other.blocks_ = nullptr;
  other.cur_ = other.end_ = nullptr;
}

void JsonArena::free_all() noexcept {
  Block* block = blocks_;
  blocks_ = nullptr;
  while (block != nullptr) {
    Block* next = block->next;
    std::free(block);
    block = next;
  }
}

size_t JsonArena::bytes() const {
  size_t total = 0;
  for (const Block* b = blocks_; b != nullptr; b = b->next)
    total += b->bytes;
  return total;
}

JsonDocument* JsonDocument::create(size_t bytes) {
  const size_t head = (sizeof(JsonArena::Block) + sizeof(JsonDocument) + 7) & ~size_t{7};
  bytes = std::clamp<size_t>(bytes, 64, MAX_BLOCK_BYTES);
  JsonArena::Block* block = JsonArena::make_block(head + bytes);
  JsonDocument* doc = new (block + 1) JsonDocument();
  doc->arena.set_first(block, head);
  doc->arena.grow_from(head + bytes);
  return doc;
}

// ---- nodes ----

uint32_t JsonBuild::checked_size(size_t n) {
  // Past 4 GiB a length does not fit; no line the gateway reads is that long.
  if (n > std::numeric_limits<uint32_t>::max())
    throw std::bad_alloc();
  return static_cast<uint32_t>(n);
}

void JsonBuild::own(JsonValue* v, JsonDocument* doc) {
  v->p_.doc = doc;
  v->size_ = 0;
  v->flags_ = JsonValue::OWNER;
  v->kind_ = doc->root.kind_;
}

void JsonBuild::own_root(JsonValue* v, JsonDocument* doc) {
  const JsonValue& r = doc->root;
  if (r.kind_ < JsonKind::String || (r.flags_ & JsonValue::SHORT) || r.size_ == 0) {
    raw_copy(v, &r, 1);
    v->flags_ &= JsonValue::SHORT;
    doc->arena.free_all();
    return;
  }
  own(v, doc);
}

void JsonBuild::place(JsonValue* dst, JsonValue&& v, JsonArena* arena) {
  if (v.flags_ & JsonValue::OWNER) {
    raw_copy(dst, &v.p_.doc->root, 1);
    arena->adopt(v.p_.doc->arena);  // the document header is now in `arena`'s blocks
    v.p_.u = 0;
  } else {
    raw_copy(dst, &v, 1);
  }
  v.kind_ = JsonKind::Null;
  v.flags_ = 0;
}

void JsonBuild::copy(JsonValue* dst, const JsonValue& from, JsonArena* arena) {
  const JsonValue& src = from.node();
  switch (src.kind_) {
    case JsonKind::String:
      if (src.flags_ & JsonValue::SHORT)
        raw_copy(dst, &src, 1);
      else
        set_string(dst, src.string_unchecked(), arena);
      return;
    case JsonKind::Array: {
      const size_t n = src.size_;
      auto* out = static_cast<JsonValue*>(arena->allocate(n * sizeof(JsonValue)));
      for (size_t i = 0; i < n; ++i)
        copy(&out[i], src.p_.elements[i], arena);
      set_array(dst, out, n);
      return;
    }
    case JsonKind::Object: {
      const size_t n = src.size_;
      auto* out = static_cast<JsonMember*>(arena->allocate(n * sizeof(JsonMember)));
      for (size_t i = 0; i < n; ++i) {
        copy(&out[i].key_, src.p_.members[i].key_, arena);
        copy(&out[i].value_, src.p_.members[i].value_, arena);
      }
      set_object(dst, out, n);
      return;
    }
    default:
      raw_copy(dst, &src, 1);
      dst->flags_ = 0;
  }
}

size_t JsonBuild::footprint(const JsonValue& from) {
  const JsonValue& v = from.node();
  size_t bytes = 0;
  if (v.kind_ == JsonKind::String && !(v.flags_ & JsonValue::SHORT)) {
    bytes = (v.size_ + 7) & ~size_t{7};
  } else if (v.kind_ == JsonKind::Array) {
    bytes = v.size_ * sizeof(JsonValue);
    for (const JsonValue& element : std::span(v.p_.elements, v.size_))
      bytes += footprint(element);
  } else if (v.kind_ == JsonKind::Object) {
    bytes = v.size_ * sizeof(JsonMember);
    for (const JsonMember& member : std::span(v.p_.members, v.size_))
      bytes += footprint(member.key_) + footprint(member.value_);
  }
  return bytes;
}

size_t JsonBuild::sort_members(JsonMember* m, size_t n, JsonMember* to) {
  // A key's first 13 bytes, zero-padded and read big-endian, order as two integers; keys
  // equal there go through a full comparison. A short key's 16 bytes may all be read.
  struct Key {
    uint64_t first, second;
    const JsonValue* key;
    bool operator<(const Key& o) const {
      if (first != o.first || second != o.second)
        return first != o.first ? first < o.first : second < o.second;
      return key->string_unchecked() < o.key->string_unchecked();
    }
  };
  auto key_of = [](const JsonValue& v) {
    const bool in_value = v.flags_ & JsonValue::SHORT;
    const char* bytes = in_value ? reinterpret_cast<const char*>(&v) : v.p_.chars;
    const size_t size = in_value ? v.short_size_ : JsonValue::SHORT_MAX;
    uint64_t first = 0, second = 0;
    std::memcpy(&first, bytes, 8);
    std::memcpy(&second, bytes + 8, in_value ? 8 : 5);
    first = size >= 8 ? first : first & ((uint64_t{1} << (8 * size)) - 1);
    second = size <= 8 ? 0 : second & ((uint64_t{1} << (8 * (size - 8))) - 1);
    return Key{__builtin_bswap64(first), __builtin_bswap64(second), &v};
  };
  struct Raw {
    alignas(8) unsigned char bytes[sizeof(JsonMember)];
  };
  Raw* raw = reinterpret_cast<Raw*>(m);
  Raw* out = reinterpret_cast<Raw*>(to);
  if (n <= SMALL_OBJECT) {
    // Insertion sort of the keys, then one move of each member kept: stable and
    // allocation-free for the small objects that dominate.
    Key keys[SMALL_OBJECT];
    for (size_t k = 0; k < n; ++k)
      keys[k] = key_of(m[k].key_);
    size_t i = 1;
    while (i < n && keys[i - 1] < keys[i])
      ++i;
    if (i >= n) {  // already sorted and unique: the usual case
      std::memcpy(static_cast<void*>(to), m, n * sizeof(JsonMember));
      return n;
    }
    uint8_t place[SMALL_OBJECT];
    for (size_t k = 0; k < n; ++k) {
      size_t j = k;
      for (; j > 0 && keys[k] < keys[place[j - 1]]; --j)
        place[j] = place[j - 1];
      place[j] = static_cast<uint8_t>(k);
    }
    size_t kept = 0;
    for (size_t k = 0; k < n; ++k)
      if (k + 1 == n || keys[place[k]] < keys[place[k + 1]])  // else the next one wins
        out[kept++] = raw[place[k]];
    return kept;
  }
  // Stable, so among equal keys the later one stays later and wins below.
  std::stable_sort(raw, raw + n, [&key_of](const Raw& a, const Raw& b) {
    return key_of(reinterpret_cast<const JsonMember&>(a).key_) <
           key_of(reinterpret_cast<const JsonMember&>(b).key_);
  });
  size_t kept = 0;
  for (size_t k = 0; k < n; ++k) {
    if (kept > 0 && to[kept - 1].key() == m[k].key())
      raw_copy(&to[kept - 1].value_, &m[k].value_, 1);
    else
      out[kept++] = raw[k];
  }
  return kept;
}

// ---- JsonValue ----

JsonValue::JsonValue(std::string_view s) {
  if (s.size() <= SHORT_MAX) {
    JsonBuild::set_short_string(this, s);
    return;
  }
  JsonDocument* doc = JsonDocument::create(s.size());
  JsonBuild::set_string(&doc->root, s, &doc->arena);
  JsonBuild::own(this, doc);
}

JsonValue::JsonValue(JsonArray a) : JsonValue(std::move(a.value_)) {}
JsonValue::JsonValue(JsonObject o) : JsonValue(std::move(o.value_)) {}

JsonValue::JsonValue(const JsonValue& other) {
  const JsonValue& src = other.node();
  if (src.kind_ < JsonKind::String || (src.flags_ & SHORT) || src.size_ == 0) {
    JsonBuild::raw_copy(this, &src, 1);
    flags_ &= SHORT;
    return;
  }
  // Sized to fit: a list of many small values copied out one by one (an app's tools) must
  // not cost a large first block each.
  JsonDocument* doc = JsonDocument::create(JsonBuild::footprint(src));
  try {
    JsonBuild::copy(&doc->root, src, &doc->arena);
  } catch (...) {
    doc->arena.free_all();
    throw;
  }
  JsonBuild::own(this, doc);
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) {
    JsonValue copy(other);  // first, so `other` may live inside this value
    *this = std::move(copy);
  }
  return *this;
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    if (flags_ & OWNER)
      release();
    steal(other);
  }
  return *this;
}

void JsonValue::steal(JsonValue& other) noexcept {
  JsonBuild::raw_copy(this, &other, 1);
  other.flags_ = 0;
  other.kind_ = JsonKind::Null;
  other.p_.u = 0;
}

void JsonValue::release() noexcept {
  p_.doc->arena.free_all();
  flags_ = 0;
  kind_ = JsonKind::Null;
}

const JsonValue* JsonObjectView::find(std::string_view key) const {
  const JsonMember* it = lower_bound(members_, size_, key);
  return it != end() && it->key() == key ? &it->value() : nullptr;
}

const JsonValue* JsonValue::find(std::string_view key) const {
  return kind_ == JsonKind::Object ? as_object()->find(key) : nullptr;
}

JsonValue JsonValue::take(std::string_view key) && {
  const JsonValue* member = find(key);
  if (member == nullptr)
    return JsonValue();
  if (!(flags_ & OWNER))
    return *member;  // inline: nothing outside it to share
  JsonDocument* doc = p_.doc;
  JsonBuild::raw_copy(&doc->root, member, 1);
  flags_ = 0;
  kind_ = JsonKind::Null;
  JsonValue taken;
  JsonBuild::own_root(&taken, doc);
  return taken;
}

bool JsonValue::operator==(const JsonValue& other) const {
  if (kind_ != other.kind_)
    return false;
  const JsonValue& a = node();
  const JsonValue& b = other.node();
  switch (kind_) {
    case JsonKind::Null:
      return true;
    case JsonKind::Bool:  // its payload's other bytes are zero
    case JsonKind::Unsigned:
    case JsonKind::Signed:
      return a.p_.u == b.p_.u;
    case JsonKind::Double:
      return a.p_.d == b.p_.d;
    case JsonKind::String:
      return a.string_unchecked() == b.string_unchecked();
    case JsonKind::Array:
      return std::equal(a.p_.elements, a.p_.elements + a.size_, b.p_.elements,
                        b.p_.elements + b.size_);
    case JsonKind::Object:
      return std::equal(a.p_.members, a.p_.members + a.size_, b.p_.members, b.p_.members + b.size_);
  }
  return false;
}

size_t json_memory(const JsonValue& value) {
  const JsonDocument* doc = JsonBuild::document_of(value);
  return doc ? doc->arena.bytes() : 0;
}

// ---- builders ----

JsonDocument* JsonBuild::document_of(const JsonValue& v) {
  return (v.flags_ & JsonValue::OWNER) ? v.p_.doc : nullptr;
}

JsonDocument* JsonBuild::builder_document(JsonValue* v) {
  if (v->flags_ & JsonValue::OWNER)
    return v->p_.doc;
  JsonDocument* doc = JsonDocument::create(512);
  raw_copy(&doc->root, v, 1);
  own(v, doc);
  return doc;
}

// Room for `want` elements (of `width` bytes) in the root container of `doc`.
void* JsonBuild::reserve_root(JsonDocument* doc, size_t want, size_t width) {
  JsonValue& root = doc->root;
  void* items = const_cast<void*>(static_cast<const void*>(root.p_.elements));
  if (want <= doc->capacity)
    return items;
  want = std::max<size_t>({want, size_t{doc->capacity} * 2, 4});
  if (items != nullptr && doc->arena.extend(items, doc->capacity * width, want * width)) {
    doc->capacity = checked_size(want);
    return items;
  }
  void* fresh = doc->arena.allocate(want * width);
  if (root.size_ > 0)
    std::memcpy(fresh, items, root.size_ * width);
  root.p_.elements = static_cast<const JsonValue*>(fresh);
  doc->capacity = checked_size(want);
  return fresh;
}

JsonArray::JsonArray() {
  JsonBuild::set_array(&value_, nullptr, 0);
}

JsonArray::JsonArray(std::initializer_list<Element> elements) : JsonArray() {
  reserve(elements.size());
  for (const Element& e : elements)
    push_back(std::move(e.value));
}

void JsonArray::reserve(size_t n) {
  if (n == 0)
    return;
  JsonBuild::reserve_root(JsonBuild::builder_document(&value_), n, sizeof(JsonValue));
}

void JsonArray::push_back(JsonValue element) {
  JsonDocument* doc = JsonBuild::builder_document(&value_);
  const size_t n = doc->root.size_;
  auto* items = static_cast<JsonValue*>(JsonBuild::reserve_root(doc, n + 1, sizeof(JsonValue)));
  JsonBuild::place(&items[n], std::move(element), &doc->arena);
  doc->root.size_ = JsonBuild::checked_size(n + 1);
}

JsonObject::JsonObject() {
  JsonBuild::set_object(&value_, nullptr, 0);
}

JsonObject::JsonObject(std::initializer_list<Member> members) : JsonObject() {
  for (const Member& m : members)
    set(m.key, std::move(m.value));
}

JsonObject::JsonObject(JsonObjectView members) : JsonObject() {
  for (const JsonMember& m : members)
    set(m.key(), m.value());
}

void JsonObject::set(std::string_view key, JsonValue value) {
  JsonDocument* doc = JsonBuild::builder_document(&value_);
  const size_t n = doc->root.size_;
  auto* m = const_cast<JsonMember*>(doc->root.p_.members);
  size_t at = static_cast<size_t>(lower_bound(m, n, key) - m);
  if (at < n && m[at].key() == key) {
    JsonBuild::place(&m[at].value_, std::move(value), &doc->arena);
    return;
  }
  JsonValue key_node;
  JsonBuild::set_string(&key_node, key, &doc->arena);
  m = static_cast<JsonMember*>(JsonBuild::reserve_root(doc, n + 1, sizeof(JsonMember)));
  std::memmove(static_cast<void*>(m + at + 1), static_cast<const void*>(m + at),
               (n - at) * sizeof(JsonMember));
  JsonBuild::raw_copy(&m[at].key_, &key_node, 1);
  JsonBuild::place(&m[at].value_, std::move(value), &doc->arena);
  doc->root.size_ = JsonBuild::checked_size(n + 1);
}

bool JsonObject::erase(std::string_view key) {
  JsonDocument* doc = JsonBuild::document_of(value_);
  if (doc == nullptr)
    return false;
  const size_t n = doc->root.size_;
  auto* m = const_cast<JsonMember*>(doc->root.p_.members);
  size_t at = static_cast<size_t>(lower_bound(m, n, key) - m);
  if (at == n || m[at].key() != key)
    return false;
  std::memmove(static_cast<void*>(m + at), static_cast<const void*>(m + at + 1),
               (n - at - 1) * sizeof(JsonMember));
  --doc->root.size_;
  return true;
}

}  // namespace brask
