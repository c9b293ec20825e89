#include "state.h"

#include <algorithm>
#include <utility>

namespace vrell {

InMemoryStateStore::InMemoryStateStore() : map_(MeshError::state("state lock poisoned")) {}

Result<std::optional<json::Value>> InMemoryStateStore::get(std::string_view key) const {
  return map_.read([&](const KeyedMap<json::Value>& m) -> Result<std::optional<json::Value>> {
    const auto it = m.find(key);
    if (it == m.end()) return std::optional<json::Value>();
    return std::optional<json::Value>(it->second);
  });
}

Result<void> InMemoryStateStore::set(std::string_view key, json::Value value) {
  return map_.write([&](KeyedMap<json::Value>& m) -> Result<void> {
    if (const auto it = m.find(key); it != m.end()) {
      it->second = std::move(value);
      return {};
    }
    std::string owned(key);
    // A single insert either happens whole or leaves the map as it was.
    m.emplace(std::move(owned), std::move(value));
    return {};
  });
}

Result<void> InMemoryStateStore::set_canonical(std::string_view key, std::string_view canonical) {
  return map_.write([&](KeyedMap<json::Value>& m) -> Result<void> {
    if (const auto it = m.find(key); it != m.end()) {
      it->second.assign(canonical);
      return {};
    }
    m.emplace(key, json::Value::from_canonical(std::string(canonical)));
    return {};
  });
}

Result<void> InMemoryStateStore::delete_key(std::string_view key) {
  return map_.write([&](KeyedMap<json::Value>& m) -> Result<void> {
    if (const auto it = m.find(key); it != m.end()) m.erase(it);
    return {};
  });
}

Result<bool> InMemoryStateStore::exists(std::string_view key) const {
  return map_.read(
      [&](const KeyedMap<json::Value>& m) -> Result<bool> { return m.find(key) != m.end(); });
}

Result<std::vector<std::string>> InMemoryStateStore::keys_with_prefix(
    std::string_view prefix) const {
  return map_.read([&](const KeyedMap<json::Value>& m) -> Result<std::vector<std::string>> {
    std::vector<std::string> keys;
    for (const auto& [key, value] : m) {
      if (std::string_view(key).starts_with(prefix)) keys.push_back(key);
    }
    // std::string orders by unsigned bytes, so a proper prefix sorts first.
    std::sort(keys.begin(), keys.end());
    return keys;
  });
}

uint64_t InMemoryStateStore::key_count() const noexcept {
  return map_.read_or(0,
                      [](const KeyedMap<json::Value>& m) noexcept -> uint64_t { return m.size(); });
}

Result<bool> InMemoryStateStore::read_into(std::string_view key, std::string& out) const {
  return map_.read([&](const KeyedMap<json::Value>& m) -> Result<bool> {
    const auto it = m.find(key);
    if (it == m.end()) return false;
    out += it->second.text();
    return true;
  });
}

}  // namespace vrell
