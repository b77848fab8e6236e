// The engine's small published hashes: SeaHash (key hash), SipHash-1-3
// (stripe selection), seeded XXH64 (conflict hash, through libxxhash), the
// key builder that combines them, and per-thread identity and randomness.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qel::engine {

// SeaHash with its four lanes as state; streaming gives the same result as
// hashing the concatenated bytes at once.
class SeaHasher {
 public:
  static constexpr uint64_t kDefaultA = 0x16f11fe89b0d677cULL;
  static constexpr uint64_t kDefaultB = 0xb480a793d8e6c86cULL;
  static constexpr uint64_t kDefaultC = 0x6fe2e5aaf078ebc9ULL;
  static constexpr uint64_t kDefaultD = 0x14f994a4c5259381ULL;

  SeaHasher() : SeaHasher(kDefaultA, kDefaultB, kDefaultC, kDefaultD) {}
  SeaHasher(uint64_t a, uint64_t b, uint64_t c, uint64_t d) : lanes_{a, b, c, d} {}

  void write(const void* data, size_t len);
  uint64_t finish() const;

 private:
  void push_word(uint64_t word);

  uint64_t lanes_[4];
  unsigned lane_ = 0;        // next lane to take a word
  uint64_t pending_ = 0;     // bytes of an unfinished word, little-endian
  unsigned pending_len_ = 0;
  uint64_t written_ = 0;
};

uint64_t seahash(const void* data, size_t len);

// SipHash-c-d over `data` with the 128-bit key (k0, k1).
uint64_t siphash(unsigned c_rounds, unsigned d_rounds, uint64_t k0, uint64_t k1, const void* data, size_t len);
inline uint64_t siphash13(uint64_t k0, uint64_t k1, const void* data, size_t len) {
  return siphash(1, 3, k0, k1, data, len);
}

struct KeyHashes {
  uint64_t key;
  uint64_t conflict;
};

// Key hash: SeaHash (default state) over the key bytes then one 0xFF byte;
// conflict hash: XXH64 seeded with `xx_seed` over the same bytes.
class DefaultKeyBuilder {
 public:
  explicit DefaultKeyBuilder(uint64_t xx_seed) : xx_seed_(xx_seed) {}
  uint64_t key_hash(std::string_view key) const;
  uint64_t conflict_hash(std::string_view key) const;
  KeyHashes build(std::string_view key) const { return {key_hash(key), conflict_hash(key)}; }
  uint64_t seed() const { return xx_seed_; }

 private:
  uint64_t xx_seed_;
};

// A 64-bit identifier of the calling thread: 1 for the first thread that
// asks, then counting up, never reused.
uint64_t current_thread_id();
// The calling thread's stripe among `stripes`: SipHash-1-3 with zero keys
// over the thread identifier's eight little-endian bytes, fixed on first use.
size_t current_thread_stripe(size_t stripes);
// One draw from the calling thread's random generator.
uint64_t thread_random_u64();

}  // namespace qel::engine
