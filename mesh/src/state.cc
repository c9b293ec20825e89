#include "state.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "scan.h"

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
      // The old value leaves with `value`, after the lock is released.
      std::swap(it->second, value);
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
    m.emplace(key, json::Value::from_canonical(canonical));
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

namespace {

// A key to sort: its first sixteen bytes as two big-endian numbers
// (zero-padded), so that nearly every comparison is an integer compare on data
// at hand; keys equal in both fall back to comparing their bytes, which also
// settles the padding.
struct SortItem {
  uint64_t head;
  uint64_t next;
  std::string_view key;
};

bool tail_less(const SortItem& x, const SortItem& y) noexcept {
  return x.next != y.next ? x.next < y.next : x.key < y.key;
}

// Sorts by head with a stable radix sort (16 bits a pass, lowest first), then
// each run of equal heads by the rest. Comparison sorting a million keys costs
// several times more.
void sort_items(std::vector<SortItem>& items) {
  const size_t n = items.size();
  if (n < 256) {
    std::sort(items.begin(), items.end(), [](const SortItem& x, const SortItem& y) {
      return x.head != y.head ? x.head < y.head : tail_less(x, y);
    });
    return;
  }
  std::vector<SortItem> other(n);
  std::vector<uint32_t> count(1u << 16);
  for (int shift = 0; shift < 64; shift += 16) {
    std::fill(count.begin(), count.end(), 0);
    for (const SortItem& item : items) ++count[(item.head >> shift) & 0xFFFF];
    // A digit shared by every item leaves the order as it is.
    if (count[(items[0].head >> shift) & 0xFFFF] == n) continue;
    uint32_t sum = 0;
    for (uint32_t& c : count) sum += std::exchange(c, sum);
    for (const SortItem& item : items) other[count[(item.head >> shift) & 0xFFFF]++] = item;
    items.swap(other);
  }
  for (size_t i = 0; i < n;) {
    size_t j = i + 1;
    while (j < n && items[j].head == items[i].head) ++j;
    if (j - i > 1) {
      std::sort(items.begin() + static_cast<std::ptrdiff_t>(i),
                items.begin() + static_cast<std::ptrdiff_t>(j), tail_less);
    }
    i = j;
  }
}

}  // namespace

Result<std::vector<std::string>> InMemoryStateStore::keys_with_prefix(
    std::string_view prefix) const {
  return map_.read([&](const KeyedMap<json::Value>& m) -> Result<std::vector<std::string>> {
    std::vector<SortItem> items;
    for (const auto& [key, value] : m) {
      if (std::string_view(key).starts_with(prefix)) {
        items.push_back({scan::big_endian_prefix(key, 0), scan::big_endian_prefix(key, 8), key});
      }
    }
    sort_items(items);
    std::vector<std::string> keys;
    keys.reserve(items.size());
    for (const SortItem& item : items) keys.emplace_back(item.key);
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
