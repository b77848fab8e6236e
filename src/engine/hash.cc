#include "engine/hash.h"

#include <atomic>
#include <cstring>
#include <random>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace qel::engine {

namespace {

inline uint64_t diffuse(uint64_t x) {
  x *= 0x6eed0e9da4d94a4fULL;
  const uint64_t a = x >> 32;
  const uint64_t b = x >> 60;
  x ^= a >> b;
  x *= 0x6eed0e9da4d94a4fULL;
  return x;
}

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

}  // namespace

void SeaHasher::push_word(uint64_t word) {
  lanes_[lane_] = diffuse(lanes_[lane_] ^ word);
  lane_ = (lane_ + 1) & 3;
}

void SeaHasher::write(const void* data, size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  written_ += len;
  while (len > 0 && pending_len_ != 0) {
    pending_ |= uint64_t{*p} << (8 * pending_len_);
    ++p;
    --len;
    if (++pending_len_ == 8) {
      push_word(pending_);
      pending_ = 0;
      pending_len_ = 0;
    }
  }
  while (len >= 8) {
    push_word(load_le64(p));
    p += 8;
    len -= 8;
  }
  for (; len > 0; --len, ++p) pending_ |= uint64_t{*p} << (8 * pending_len_++);
}

uint64_t SeaHasher::finish() const {
  uint64_t lanes[4] = {lanes_[0], lanes_[1], lanes_[2], lanes_[3]};
  if (pending_len_ != 0) lanes[lane_] = diffuse(lanes[lane_] ^ pending_);
  return diffuse(lanes[0] ^ lanes[1] ^ lanes[2] ^ lanes[3] ^ written_);
}

uint64_t seahash(const void* data, size_t len) {
  SeaHasher hasher;
  hasher.write(data, len);
  return hasher.finish();
}

uint64_t siphash(unsigned c_rounds, unsigned d_rounds, uint64_t k0, uint64_t k1, const void* data, size_t len) {
  uint64_t v0 = k0 ^ 0x736f6d6570736575ULL;
  uint64_t v1 = k1 ^ 0x646f72616e646f6dULL;
  uint64_t v2 = k0 ^ 0x6c7967656e657261ULL;
  uint64_t v3 = k1 ^ 0x7465646279746573ULL;
  auto round = [&] {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  };
  auto compress = [&](uint64_t m) {
    v3 ^= m;
    for (unsigned i = 0; i < c_rounds; ++i) round();
    v0 ^= m;
  };
  const auto* p = static_cast<const unsigned char*>(data);
  size_t left = len;
  for (; left >= 8; left -= 8, p += 8) compress(load_le64(p));
  uint64_t last = uint64_t{len & 0xff} << 56;
  for (size_t i = 0; i < left; ++i) last |= uint64_t{p[i]} << (8 * i);
  compress(last);
  v2 ^= 0xff;
  for (unsigned i = 0; i < d_rounds; ++i) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

uint64_t DefaultKeyBuilder::key_hash(std::string_view key) const {
  SeaHasher hasher;
  hasher.write(key.data(), key.size());
  const unsigned char terminator = 0xff;
  hasher.write(&terminator, 1);
  return hasher.finish();
}

// GCC 12 at -O3 sees the inlined one-byte update reach past `terminator`
// in a branch that only runs for 32 bytes or more.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
uint64_t DefaultKeyBuilder::conflict_hash(std::string_view key) const {
  XXH64_state_t state;
  XXH64_reset(&state, xx_seed_);
  XXH64_update(&state, key.data(), key.size());
  const unsigned char terminator = 0xff;
  XXH64_update(&state, &terminator, 1);
  return XXH64_digest(&state);
}
#pragma GCC diagnostic pop

uint64_t current_thread_id() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t id = next.fetch_add(1, std::memory_order_relaxed);
  return id;
}

size_t current_thread_stripe(size_t stripes) {
  thread_local const uint64_t hint = [] {
    const uint64_t id = current_thread_id();
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(id >> (8 * i));
    return siphash13(0, 0, bytes, sizeof bytes);
  }();
  return static_cast<size_t>(hint % stripes);
}

uint64_t thread_random_u64() {
  thread_local std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seq{device(), device(), device(), device(), static_cast<unsigned>(current_thread_id())};
    return std::mt19937_64(seq);
  }();
  return generator();
}

}  // namespace qel::engine
