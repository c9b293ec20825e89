#include "hashing.h"

#include "platform.h"

namespace vrell {
namespace {

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

inline void sip_round(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
  v0 += v1;
  v1 = rotl(v1, 13);
  v1 ^= v0;
  v0 = rotl(v0, 32);
  v2 += v3;
  v3 = rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = rotl(v1, 17);
  v1 ^= v2;
  v2 = rotl(v2, 32);
}

HashKey draw_key() noexcept {
  uint64_t words[2] = {0, 0};
  if (!platform::random_bytes(words, sizeof words)) {
    // No random source: still differ between processes and runs.
    const platform::WallTime t = platform::wall_time();
    words[0] = static_cast<uint64_t>(t.nanos) * 0x9E3779B97F4A7C15ull;
    words[1] = reinterpret_cast<uintptr_t>(&t) ^ static_cast<uint64_t>(t.seconds);
  }
  return {words[0], words[1]};
}

}  // namespace

const HashKey& process_hash_key() noexcept {
  static const HashKey key = draw_key();
  return key;
}

uint64_t siphash13(const HashKey& key, const void* data, size_t len) noexcept {
  uint64_t v0 = 0x736f6d6570736575ull ^ key.k0;
  uint64_t v1 = 0x646f72616e646f6dull ^ key.k1;
  uint64_t v2 = 0x6c7967656e657261ull ^ key.k0;
  uint64_t v3 = 0x7465646279746573ull ^ key.k1;
  const auto* p = static_cast<const unsigned char*>(data);
  const size_t whole = len & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) {
    // Little-endian words on every machine: the same keys hash alike.
    const uint64_t m = platform::load_le64(p + i);
    v3 ^= m;
    sip_round(v0, v1, v2, v3);
    v0 ^= m;
  }
  uint64_t b = static_cast<uint64_t>(len) << 56;
  switch (len & 7) {
    case 7:
      b |= static_cast<uint64_t>(p[whole + 6]) << 48;
      [[fallthrough]];
    case 6:
      b |= static_cast<uint64_t>(p[whole + 5]) << 40;
      [[fallthrough]];
    case 5:
      b |= static_cast<uint64_t>(p[whole + 4]) << 32;
      [[fallthrough]];
    case 4:
      b |= static_cast<uint64_t>(p[whole + 3]) << 24;
      [[fallthrough]];
    case 3:
      b |= static_cast<uint64_t>(p[whole + 2]) << 16;
      [[fallthrough]];
    case 2:
      b |= static_cast<uint64_t>(p[whole + 1]) << 8;
      [[fallthrough]];
    case 1:
      b |= static_cast<uint64_t>(p[whole]);
      break;
    case 0:
      break;
  }
  v3 ^= b;
  sip_round(v0, v1, v2, v3);
  v0 ^= b;
  v2 ^= 0xff;
  sip_round(v0, v1, v2, v3);
  sip_round(v0, v1, v2, v3);
  sip_round(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace vrell
