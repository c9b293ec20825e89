// Keyed hashing for every in-memory map.
//
// Keys are chosen by callers (agent ids, state keys, topic names), so the maps
// hash them with SipHash-1-3 under a 128-bit key drawn once per process from
// the operating system's random source: colliding keys cannot be precomputed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vrell {

struct HashKey {
  uint64_t k0;
  uint64_t k1;
};

// The process-wide key, drawn on first use (thread-safe).
const HashKey& process_hash_key() noexcept;

uint64_t siphash13(const HashKey& key, const void* data, size_t len) noexcept;

struct KeyedHash {
  using is_transparent = void;
  // Deliberately not noexcept: the standard library then keeps each node's
  // hash, instead of hashing stored keys again while it walks a bucket.
  size_t operator()(std::string_view s) const {
    return static_cast<size_t>(siphash13(process_hash_key(), s.data(), s.size()));
  }
};

// A string-keyed map whose lookups take std::string_view without copying.
template <class V>
using KeyedMap = std::unordered_map<std::string, V, KeyedHash, std::equal_to<>>;

}  // namespace vrell
