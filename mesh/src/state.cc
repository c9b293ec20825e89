#include "state.h"

#include <algorithm>
#include <cstring>
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
    // Sorted as views with their first eight bytes as one big-endian number
    // (zero-padded), so most comparisons are one integer compare; equal
    // heads fall back to comparing the bytes, which also settles padding.
    struct Item {
      uint64_t head;
      std::string_view key;
    };
    std::vector<Item> items;
    for (const auto& [key, value] : m) {
      if (!std::string_view(key).starts_with(prefix)) continue;
      unsigned char b[8] = {};
      std::memcpy(b, key.data(), std::min<size_t>(key.size(), 8));
      uint64_t head = 0;
      for (unsigned char c : b) head = head << 8 | c;
      items.push_back({head, key});
    }
    std::sort(items.begin(), items.end(), [](const Item& x, const Item& y) {
      return x.head != y.head ? x.head < y.head : x.key < y.key;
    });
    std::vector<std::string> keys;
    keys.reserve(items.size());
    for (const Item& item : items) keys.emplace_back(item.key);
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
