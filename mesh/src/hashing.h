// Keyed hashing for every in-memory map.
//
// Keys are chosen by callers (agent ids, state keys, topic names), so the maps
// hash them with SipHash-1-3 under a 128-bit key drawn once per process from
// the operating system's random source: colliding keys cannot be precomputed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace vrell {

struct HashKey {
  uint64_t k0;
  uint64_t k1;
};

// The process-wide key, drawn on first use (thread-safe).
const HashKey& process_hash_key() noexcept;

uint64_t siphash13(const HashKey& key, const void* data, size_t len) noexcept;

// A key together with its keyed hash, for callers that look the same key up
// more than once (routing reads an agent, then marks it running).
struct HashedKey {
  HashedKey(std::string_view t) noexcept  // NOLINT: implicit by design
      : text(t), hash(siphash13(process_hash_key(), t.data(), t.size())) {}
  HashedKey(const std::string& t) noexcept : HashedKey(std::string_view(t)) {}
  HashedKey(const char* t) noexcept : HashedKey(std::string_view(t)) {}
  std::string_view text;
  uint64_t hash;
};

// Whether a and b hold the same bytes. Most keys are short, and for them a
// few overlapping loads beat the call into memcmp.
inline bool same_bytes(std::string_view a, std::string_view b) noexcept {
  const size_t n = a.size();
  if (n != b.size()) return false;
  const auto differ = [&](auto word, size_t at) {
    decltype(word) x, y;
    std::memcpy(&x, a.data() + at, sizeof x);
    std::memcpy(&y, b.data() + at, sizeof y);
    return x != y;
  };
  if (n >= 8) {
    if (n > 16) return std::memcmp(a.data(), b.data(), n) == 0;
    return !differ(uint64_t{}, 0) && !differ(uint64_t{}, n - 8);
  }
  if (n >= 4) return !differ(uint32_t{}, 0) && !differ(uint32_t{}, n - 4);
  if (n >= 2) return !differ(uint16_t{}, 0) && !differ(uint16_t{}, n - 2);
  return n == 0 || a[0] == b[0];
}

// A string-keyed hash map with keyed hashing and lookups by std::string_view.
//
// Entries live in one dense vector (insertion order, with the last entry moved
// into the hole an erase leaves), so walking the map is a linear scan; an
// open-addressing index of 32-bit slots finds them, with linear probing and
// backward-shift deletion. With 2^k slots, a slot holds the entry's position
// + 1 in its low k bits and the top 32 - k bits of the key hash's upper half
// above them, which rule out nearly every other key without reading it; the
// low half of each entry's hash is kept beside the entries, so moving slots
// (erasing, growing) never hashes a key again. Insertions give the strong
// exception guarantee.
// Iterators and references are invalidated by every insertion and erasure.
template <class V>
class KeyedMap {
 public:
  using value_type = std::pair<std::string, V>;
  using iterator = value_type*;
  using const_iterator = const value_type*;

  iterator begin() noexcept { return entries_.data(); }
  iterator end() noexcept { return entries_.data() + entries_.size(); }
  const_iterator begin() const noexcept { return entries_.data(); }
  const_iterator end() const noexcept { return entries_.data() + entries_.size(); }
  size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

  iterator find(const HashedKey& key) noexcept {
    const size_t pos = slot_of(key);
    return pos == kNone ? end() : begin() + index_at(pos);
  }
  const_iterator find(const HashedKey& key) const noexcept {
    const size_t pos = slot_of(key);
    return pos == kNone ? end() : begin() + index_at(pos);
  }
  bool contains(std::string_view key) const noexcept { return slot_of(key) != kNone; }
  size_t count(std::string_view key) const noexcept { return contains(key) ? 1 : 0; }

  const V& at(std::string_view key) const {
    const auto it = find(key);
    if (it == end()) throw std::out_of_range("KeyedMap::at");
    return it->second;
  }

  // Inserts when the key is absent; never replaces.
  template <class K, class... Args>
  std::pair<iterator, bool> emplace(K&& key, Args&&... args) {
    const HashedKey k{std::string_view(key)};
    if (const auto it = find(k); it != end()) return {it, false};
    return {insert_new(k.hash, std::forward<K>(key), std::forward<Args>(args)...), true};
  }

  // emplace for a key hashed already, so that a find and then an insertion
  // hash it once.
  template <class... Args>
  std::pair<iterator, bool> try_emplace(const HashedKey& key, Args&&... args) {
    if (const auto it = find(key); it != end()) return {it, false};
    return {insert_new(key.hash, std::string(key.text), std::forward<Args>(args)...), true};
  }
  template <class K, class M>
  std::pair<iterator, bool> insert_or_assign(K&& key, M&& value) {
    const HashedKey k{std::string_view(key)};
    if (const auto it = find(k); it != end()) {
      it->second = std::forward<M>(value);
      return {it, false};
    }
    return {insert_new(k.hash, std::forward<K>(key), std::forward<M>(value)), true};
  }

  // Moves the last entry into the erased one's place; returns that place.
  iterator erase(iterator pos) noexcept {
    const size_t index = static_cast<size_t>(pos - begin());
    remove_slot(slot_of_index(homes_[index], index));
    const size_t last = entries_.size() - 1;
    if (index != last) {
      const size_t moved_slot = slot_of_index(homes_[last], last);
      slots_[moved_slot] = (slots_[moved_slot] & ~index_mask()) | static_cast<uint32_t>(index + 1);
      entries_[index] = std::move(entries_[last]);
      homes_[index] = homes_[last];
    }
    entries_.pop_back();
    homes_.pop_back();
    return begin() + index;
  }
  size_t erase(std::string_view key) noexcept {
    const auto it = find(key);
    if (it == end()) return 0;
    erase(it);
    return 1;
  }

 private:
  static constexpr size_t kNone = ~size_t{0};
  static constexpr unsigned kMaxBits = 31;  // 2^31 slots: far beyond any memory here

  static uint64_t hash(std::string_view k) noexcept {
    return siphash13(process_hash_key(), k.data(), k.size());
  }
  size_t mask() const noexcept { return slots_.size() - 1; }
  uint32_t index_mask() const noexcept { return (uint32_t{1} << bits_) - 1; }
  size_t home(uint64_t h) const noexcept { return static_cast<size_t>(h) & mask(); }
  uint32_t fragment(uint64_t h) const noexcept { return static_cast<uint32_t>(h >> 32) >> bits_; }
  size_t index_at(size_t pos) const noexcept { return (slots_[pos] & index_mask()) - 1; }

  size_t slot_of(const HashedKey& key) const noexcept {
    if (entries_.empty()) return kNone;
    const uint64_t h = key.hash;
    const uint32_t f = fragment(h);
    for (size_t pos = home(h);; pos = (pos + 1) & mask()) {
      const uint32_t s = slots_[pos];
      if (s == 0) return kNone;
      if ((s >> bits_) == f && same_bytes(entries_[index_at(pos)].first, key.text)) return pos;
    }
  }
  size_t slot_of_index(uint64_t h, size_t index) const noexcept {
    size_t pos = home(h);
    while (index_at(pos) != index) pos = (pos + 1) & mask();
    return pos;
  }

  void remove_slot(size_t hole) noexcept {
    for (size_t pos = (hole + 1) & mask(); slots_[pos] != 0; pos = (pos + 1) & mask()) {
      const size_t want = home(homes_[index_at(pos)]);
      // Move the slot back when the hole lies between its home and where it is.
      if (((pos - want) & mask()) >= ((pos - hole) & mask())) {
        slots_[hole] = slots_[pos];
        hole = pos;
      }
    }
    slots_[hole] = 0;
  }

  void place(uint64_t h, uint32_t fragment_bits, size_t index) noexcept {
    size_t pos = home(h);
    while (slots_[pos] != 0) pos = (pos + 1) & mask();
    slots_[pos] = (fragment_bits << bits_) | static_cast<uint32_t>(index + 1);
  }

  template <class K, class... Args>
  iterator insert_new(uint64_t h, K&& key, Args&&... args) {
    // Room first: if an allocation throws, the map is unchanged. Entries
    // double (powers of two, so a table of N entries holds at most 2N slots of
    // them) and the index doubles when it would pass three quarters full.
    if (entries_.size() == entries_.capacity()) {
      entries_.reserve(std::max<size_t>(8, entries_.capacity() * 2));
    }
    if (homes_.size() == homes_.capacity()) homes_.reserve(entries_.capacity());
    if ((entries_.size() + 1) * 4 > slots_.size() * 3) {
      const unsigned bits = slots_.empty() ? 4 : bits_ + 1;
      if (bits > kMaxBits) throw std::bad_alloc();
      std::vector<uint32_t> old(size_t{1} << bits, 0);
      slots_.swap(old);
      const unsigned old_bits = std::exchange(bits_, bits);
      // One more index bit leaves one fragment bit fewer: the slot's own
      // fragment, shifted, is the new one; the entry's home comes from homes_.
      for (uint32_t slot : old) {
        if (slot == 0) continue;
        const size_t i = (slot & ((uint32_t{1} << old_bits) - 1)) - 1;
        place(homes_[i], (slot >> old_bits) >> (bits - old_bits), i);
      }
    }
    entries_.emplace_back(std::piecewise_construct, std::forward_as_tuple(std::forward<K>(key)),
                          std::forward_as_tuple(std::forward<Args>(args)...));
    homes_.push_back(static_cast<uint32_t>(h));  // room reserved above: cannot throw
    place(h, fragment(h), entries_.size() - 1);
    return end() - 1;
  }

  std::vector<value_type> entries_;
  std::vector<uint32_t> homes_;  // low half of each entry's hash, by position
  std::vector<uint32_t> slots_;
  unsigned bits_ = 0;  // slots_.size() == 2^bits_
};

}  // namespace vrell
