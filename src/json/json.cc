#include "json/json.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

namespace brask {
namespace {

// Where `key` is or would go in sorted `members`.
template <class Members>
auto key_position(Members& members, std::string_view key) {
  return std::lower_bound(
      members.begin(), members.end(), key,
      [](const JsonObject::Member& m, std::string_view k) { return m.first.compare(k) < 0; });
}

}  // namespace

JsonObject::JsonObject(std::initializer_list<Member> members)
    : JsonObject(from_members(std::vector<Member>(members))) {}

JsonObject JsonObject::from_members(std::vector<Member> members) {
  auto less = [](const Member& a, const Member& b) { return a.first < b.first; };
  // Parsed objects are often already in order; checking first avoids any moves.
  if (std::adjacent_find(members.begin(), members.end(), [](const Member& a, const Member& b) {
        return !(a.first < b.first);
      }) != members.end()) {
    if (members.size() <= 16) {
      // Insertion sort: stable and allocation-free for the small objects that dominate.
      for (size_t i = 1; i < members.size(); ++i) {
        if (!less(members[i], members[i - 1]))
          continue;
        Member m = std::move(members[i]);
        size_t j = i;
        for (; j > 0 && less(m, members[j - 1]); --j)
          members[j] = std::move(members[j - 1]);
        members[j] = std::move(m);
      }
    } else {
      // Stable, so among equal keys the later one stays later and wins below.
      std::stable_sort(members.begin(), members.end(), less);
    }
    size_t kept = 0;
    for (size_t i = 0; i < members.size(); ++i) {
      if (kept > 0 && members[kept - 1].first == members[i].first) {
        members[kept - 1].second = std::move(members[i].second);
      } else {
        if (kept != i)
          members[kept] = std::move(members[i]);
        ++kept;
      }
    }
    members.erase(members.begin() + static_cast<std::ptrdiff_t>(kept), members.end());
  }
  JsonObject object;
  object.members_ = std::move(members);
  return object;
}

const JsonValue* JsonObject::find(std::string_view key) const {
  auto it = key_position(members_, key);
  return it != members_.end() && it->first == key ? &it->second : nullptr;
}

JsonValue* JsonObject::find(std::string_view key) {
  return const_cast<JsonValue*>(static_cast<const JsonObject*>(this)->find(key));
}

JsonValue& JsonObject::set(std::string key, JsonValue value) {
  auto it = key_position(members_, key);
  if (it != members_.end() && it->first == key) {
    it->second = std::move(value);
    return it->second;
  }
  return members_.emplace(it, std::move(key), std::move(value))->second;
}

bool JsonObject::erase(std::string_view key) {
  auto it = key_position(members_, key);
  if (it == members_.end() || it->first != key)
    return false;
  members_.erase(it);
  return true;
}

bool JsonObject::operator==(const JsonObject& other) const {
  return members_ == other.members_;
}

JsonValue::JsonValue(const JsonValue& other) : kind_(other.kind_) {
  switch (kind_) {
    case JsonKind::String:
      new (&u_.s) std::string(other.u_.s);
      break;
    case JsonKind::Array:
      new (&u_.a) JsonArray(other.u_.a);
      break;
    case JsonKind::Object:
      new (&u_.o) JsonObject(other.u_.o);
      break;
    default:
      std::memcpy(static_cast<void*>(&u_), static_cast<const void*>(&other.u_), sizeof(uint64_t));
  }
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) {
    JsonValue copy(other);  // first, so `other` may live inside this value
    *this = std::move(copy);
  }
  return *this;
}

void JsonValue::destroy() {
  switch (kind_) {
    case JsonKind::String:
      u_.s.~basic_string();
      break;
    case JsonKind::Array:
      u_.a.~JsonArray();
      break;
    case JsonKind::Object:
      u_.o.~JsonObject();
      break;
    default:
      break;
  }
  kind_ = JsonKind::Null;
}

bool JsonValue::operator==(const JsonValue& other) const {
  if (kind_ != other.kind_)
    return false;
  switch (kind_) {
    case JsonKind::Null:
      return true;
    case JsonKind::Bool:
      return u_.b == other.u_.b;
    case JsonKind::Unsigned:
      return u_.u == other.u_.u;
    case JsonKind::Signed:
      return u_.i == other.u_.i;
    case JsonKind::Double:
      return u_.d == other.u_.d;
    case JsonKind::String:
      return u_.s == other.u_.s;
    case JsonKind::Array:
      return u_.a == other.u_.a;
    case JsonKind::Object:
      return u_.o == other.u_.o;
  }
  return false;
}

}  // namespace brask
