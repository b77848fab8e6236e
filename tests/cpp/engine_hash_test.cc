// SeaHash, SipHash and XXH64 against published vectors; the key builder and
// the sketch seeding.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/hash.h"
#include "engine/sketch.h"

namespace qel::engine {
namespace {

std::vector<unsigned char> counting(size_t len) {
  std::vector<unsigned char> bytes(len);
  for (size_t i = 0; i < len; ++i) bytes[i] = static_cast<unsigned char>(i);
  return bytes;
}

// SeaHash as its reference describes it: the input padded to whole 64-bit
// little-endian words, each fed to the next of four lanes in turn.
uint64_t reference_seahash(const std::vector<unsigned char>& bytes) {
  auto diffuse = [](uint64_t x) {
    x *= 0x6eed0e9da4d94a4fULL;
    x ^= (x >> 32) >> (x >> 60);
    x *= 0x6eed0e9da4d94a4fULL;
    return x;
  };
  uint64_t lanes[4] = {0x16f11fe89b0d677cULL, 0xb480a793d8e6c86cULL, 0x6fe2e5aaf078ebc9ULL, 0x14f994a4c5259381ULL};
  size_t lane = 0;
  for (size_t i = 0; i < bytes.size(); i += 8) {
    uint64_t word = 0;
    for (size_t j = 0; j < 8 && i + j < bytes.size(); ++j) word |= uint64_t{bytes[i + j]} << (8 * j);
    lanes[lane] = diffuse(lanes[lane] ^ word);
    lane = (lane + 1) % 4;
  }
  return diffuse(lanes[0] ^ lanes[1] ^ lanes[2] ^ lanes[3] ^ bytes.size());
}

TEST(SeaHash, PublishedVector) {
  const std::string text = "to be or not to be";
  EXPECT_EQ(seahash(text.data(), text.size()), 1988685042348123509ULL);
}

TEST(SeaHash, MatchesReferenceAtEveryLength) {
  for (size_t len = 0; len <= 100; ++len) {
    const auto bytes = counting(len);
    EXPECT_EQ(seahash(bytes.data(), bytes.size()), reference_seahash(bytes)) << len;
  }
}

TEST(SeaHash, StreamingEqualsOneShot) {
  const auto bytes = counting(97);
  for (size_t split = 0; split <= bytes.size(); ++split) {
    SeaHasher hasher;
    hasher.write(bytes.data(), split);
    hasher.write(bytes.data() + split, bytes.size() - split);
    EXPECT_EQ(hasher.finish(), seahash(bytes.data(), bytes.size())) << split;
  }
}

TEST(SipHash, Published24Vectors) {
  // The SipHash paper's key 00..0f: the empty message, and 00..0e (Appendix A).
  const uint64_t k0 = 0x0706050403020100ULL;
  const uint64_t k1 = 0x0f0e0d0c0b0a0908ULL;
  EXPECT_EQ(siphash(2, 4, k0, k1, nullptr, 0), 0x726fdb47dd0e0e31ULL);
  const auto fifteen = counting(15);
  EXPECT_EQ(siphash(2, 4, k0, k1, fifteen.data(), fifteen.size()), 0xa129ca6149be45e5ULL);
}

TEST(SipHash, OneThreeWithZeroKeys) {
  // CPython's str/bytes hash is SipHash-1-3; PYTHONHASHSEED=0 makes both keys
  // zero: PYTHONHASHSEED=0 python3 -c "print(hex(hash(b'abc') & (2**64-1)))".
  struct Vector {
    std::vector<unsigned char> message;
    uint64_t hash;
  };
  const std::vector<Vector> vectors = {
      {{'a'}, 0x407448d2b89b1813ULL},
      {{'a', 'b', 'c'}, 0xc03bc3a0042630f2ULL},
      {counting(8), 0xead411e67ebe2eeaULL},
      {counting(15), 0xf30eb725bb91c9eaULL},
      {counting(64), 0x75e05fd5bbc870c6ULL},
      {{1, 0, 0, 0, 0, 0, 0, 0}, 0x1e9f734161d62dd9ULL},  // thread identifier 1
  };
  for (const auto& vector : vectors) {
    EXPECT_EQ(siphash13(0, 0, vector.message.data(), vector.message.size()), vector.hash);
  }
}

TEST(Xxh64, PublishedVectors) {
  // xxHash's own sanity checks: empty input, and its generated sanity buffer.
  std::vector<unsigned char> sanity(64);
  uint64_t generator = 2654435761U;
  for (auto& byte : sanity) {
    byte = static_cast<unsigned char>(generator >> 56);
    generator *= 11400714785074694797ULL;
  }
  EXPECT_EQ(xxh64(nullptr, 0, 0), 0xef46db3751d8e999ULL);
  EXPECT_EQ(xxh64(nullptr, 0, 2654435761U), 0xac75fda2929b17efULL);
  EXPECT_EQ(xxh64(sanity.data(), 1, 0), 0xe934a84adb052768ULL);
  EXPECT_EQ(xxh64(sanity.data(), 4, 0), 0x9136a0dca57457eeULL);
  EXPECT_EQ(xxh64(sanity.data(), 14, 0), 0x8282dcc4994e35c8ULL);
  EXPECT_EQ(xxh64("abc", 3, 0), 0x44bc2cf5ad770999ULL);
}

TEST(KeyBuilder, HashesKeyBytesThenFf) {
  const DefaultKeyBuilder builder(12345);
  for (const std::string& key : std::vector<std::string>{"", "a", "blob-7", std::string(1000, 'x')}) {
    std::string bytes = key;
    bytes.push_back('\xff');
    const KeyHashes hashes = builder.build(key);
    EXPECT_EQ(hashes.key, seahash(bytes.data(), bytes.size()));
    EXPECT_EQ(hashes.conflict, xxh64(bytes.data(), bytes.size(), 12345));
  }
  EXPECT_NE(DefaultKeyBuilder(1).conflict_hash("k"), DefaultKeyBuilder(2).conflict_hash("k"));
  EXPECT_EQ(DefaultKeyBuilder(1).key_hash("k"), DefaultKeyBuilder(2).key_hash("k"));
}

TEST(ThreadStripe, FixedPerThreadFromSipHashOfId) {
  const uint64_t id = current_thread_id();
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(id >> (8 * i));
  EXPECT_EQ(current_thread_stripe(64), siphash13(0, 0, bytes, 8) % 64);
  EXPECT_EQ(current_thread_stripe(64), current_thread_stripe(64));
}

TEST(ChaCha, Rfc8439BlockVector) {
  // RFC 8439 section 2.3.2: key 00..1f, counter 1, nonce 00000009 0000004a 00000000.
  std::array<uint32_t, 16> state{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  for (int i = 0; i < 8; ++i) {
    state[4 + i] = uint32_t(4 * i) | uint32_t(4 * i + 1) << 8 | uint32_t(4 * i + 2) << 16 | uint32_t(4 * i + 3) << 24;
  }
  state[12] = 1;
  state[13] = 0x09000000;
  state[14] = 0x4a000000;
  state[15] = 0;
  const auto block = chacha_block(state, 20);
  EXPECT_EQ(block[0], 0xe4e7f110u);
  EXPECT_EQ(block[1], 0x15593bd1u);
  EXPECT_EQ(block[15], 0x4e3c50a2u);
}

TEST(SketchSeeds, DeterministicAndDistinct) {
  const auto seeds = sketch_seeds(1700000000);
  EXPECT_EQ(seeds, sketch_seeds(1700000000));
  EXPECT_NE(seeds, sketch_seeds(1700000001));
  for (int i = 0; i < 4; ++i) {
    for (int j = i + 1; j < 4; ++j) EXPECT_NE(seeds[i], seeds[j]);
  }
}

}  // namespace
}  // namespace qel::engine
