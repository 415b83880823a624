#include "json/json.h"

#include <algorithm>

namespace brask {

JsonObject::JsonObject(std::initializer_list<Member> members)
    : JsonObject(from_members(std::vector<Member>(members))) {}

JsonObject JsonObject::from_members(std::vector<Member> members) {
  // Stable sort keeps file order among equal keys, so the last one can win.
  std::stable_sort(members.begin(), members.end(),
                   [](const Member& a, const Member& b) { return a.first < b.first; });
  JsonObject object;
  for (auto& m : members) {
    if (!object.members_.empty() && object.members_.back().first == m.first) {
      object.members_.back().second = std::move(m.second);
    } else {
      object.members_.push_back(std::move(m));
    }
  }
  return object;
}

const JsonValue* JsonObject::find(std::string_view key) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const Member& m, std::string_view k) { return m.first < k; });
  return it != members_.end() && it->first == key ? &it->second : nullptr;
}

JsonValue* JsonObject::find(std::string_view key) {
  return const_cast<JsonValue*>(static_cast<const JsonObject*>(this)->find(key));
}

JsonValue& JsonObject::set(std::string key, JsonValue value) {
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const Member& m, const std::string& k) { return m.first < k; });
  if (it != members_.end() && it->first == key) {
    it->second = std::move(value);
    return it->second;
  }
  return members_.emplace(it, std::move(key), std::move(value))->second;
}

bool JsonObject::erase(std::string_view key) {
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const Member& m, std::string_view k) { return m.first < k; });
  if (it == members_.end() || it->first != key) return false;
  members_.erase(it);
  return true;
}

bool JsonObject::operator==(const JsonObject& other) const { return members_ == other.members_; }

}  // namespace brask
