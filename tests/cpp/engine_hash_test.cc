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

// SeaHash as its reference describes it: zero-padded little-endian words fed
// to four lanes in turn. Independent of the streaming code under test.
uint64_t reference_seahash(const std::vector<unsigned char>& bytes) {
  auto diffuse = [](uint64_t x) {
    x *= 0x6eed0e9da4d94a4fULL;
    x ^= (x >> 32) >> (x >> 60);
    return x * 0x6eed0e9da4d94a4fULL;
  };
  uint64_t lanes[4] = {0x16f11fe89b0d677cULL, 0xb480a793d8e6c86cULL, 0x6fe2e5aaf078ebc9ULL, 0x14f994a4c5259381ULL};
  for (size_t i = 0; i < bytes.size(); i += 8) {
    uint64_t word = 0;
    for (size_t j = 0; j < 8 && i + j < bytes.size(); ++j) word |= uint64_t{bytes[i + j]} << (8 * j);
    lanes[i / 8 % 4] = diffuse(lanes[i / 8 % 4] ^ word);
  }
  return diffuse(lanes[0] ^ lanes[1] ^ lanes[2] ^ lanes[3] ^ bytes.size());
}

TEST(SeaHash, PublishedVectorReferenceAndStreaming) {
  EXPECT_EQ(seahash("to be or not to be", 18), 1988685042348123509ULL);
  // Every tail length, and streaming split at a varying offset.
  for (size_t len = 0; len <= 100; ++len) {
    const auto bytes = counting(len);
    EXPECT_EQ(seahash(bytes.data(), len), reference_seahash(bytes)) << len;
    const size_t split = (len * 5) % (len + 1);
    SeaHasher hasher;
    hasher.write(bytes.data(), split);
    hasher.write(bytes.data() + split, len - split);
    EXPECT_EQ(hasher.finish(), reference_seahash(bytes)) << len << " split " << split;
  }
}

TEST(SipHash, PublishedVectors) {
  // The SipHash paper's key 00..0f (Appendix A): SipHash-2-4.
  const uint64_t k0 = 0x0706050403020100ULL, k1 = 0x0f0e0d0c0b0a0908ULL;
  EXPECT_EQ(siphash(2, 4, k0, k1, nullptr, 0), 0x726fdb47dd0e0e31ULL);
  EXPECT_EQ(siphash(2, 4, k0, k1, counting(15).data(), 15), 0xa129ca6149be45e5ULL);
  // CPython's bytes hash is SipHash-1-3; PYTHONHASHSEED=0 makes both keys zero.
  const std::vector<std::pair<std::vector<unsigned char>, uint64_t>> vectors = {
      {{'a'}, 0x407448d2b89b1813ULL},
      {{'a', 'b', 'c'}, 0xc03bc3a0042630f2ULL},
      {counting(8), 0xead411e67ebe2eeaULL},
      {counting(15), 0xf30eb725bb91c9eaULL},
      {counting(64), 0x75e05fd5bbc870c6ULL},
      {{1, 0, 0, 0, 0, 0, 0, 0}, 0x1e9f734161d62dd9ULL},
  };
  for (const auto& [message, hash] : vectors) EXPECT_EQ(siphash13(0, 0, message.data(), message.size()), hash);
}

TEST(Xxh64, PublishedVectors) {
  // From xxHash's own sanity checks; through the library, so mostly the seed and length wiring.
  EXPECT_EQ(xxh64(nullptr, 0, 0), 0xef46db3751d8e999ULL);
  EXPECT_EQ(xxh64(nullptr, 0, 2654435761U), 0xac75fda2929b17efULL);
  EXPECT_EQ(xxh64("abc", 3, 0), 0x44bc2cf5ad770999ULL);
}

TEST(KeyBuilder, HashesKeyBytesThenFf) {
  const DefaultKeyBuilder builder(12345);
  for (const std::string& key : {std::string(), std::string("blob-7"), std::string(1000, 'x')}) {
    const std::string bytes = key + '\xff';
    EXPECT_EQ(builder.build(key).key, seahash(bytes.data(), bytes.size()));
    EXPECT_EQ(builder.build(key).conflict, xxh64(bytes.data(), bytes.size(), 12345));
  }
  EXPECT_EQ(DefaultKeyBuilder(1).key_hash("k"), DefaultKeyBuilder(2).key_hash("k"));
}

TEST(SketchSeeds, ChaChaRfc8439BlockAndDistinctSeeds) {
  // RFC 8439 section 2.3.2: key 00..1f, counter 1, nonce 00000009 0000004a 00000000.
  std::array<uint32_t, 16> state{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  for (uint32_t i = 0; i < 8; ++i) state[4 + i] = 4 * i | (4 * i + 1) << 8 | (4 * i + 2) << 16 | (4 * i + 3) << 24;
  state[12] = 1;
  state[13] = 0x09000000;
  state[14] = 0x4a000000;
  const auto block = chacha_block(state, 20);
  EXPECT_EQ(block[0], 0xe4e7f110u);
  EXPECT_EQ(block[1], 0x15593bd1u);
  EXPECT_EQ(block[15], 0x4e3c50a2u);
  // One seed per sketch row: equal seeds would collapse the rows into one.
  const auto seeds = sketch_seeds(1700000000);
  EXPECT_EQ(seeds, sketch_seeds(1700000000));
  EXPECT_NE(seeds, sketch_seeds(1700000001));
  for (int i = 0; i < 4; ++i) {
    for (int j = i + 1; j < 4; ++j) EXPECT_NE(seeds[i], seeds[j]);
  }
}

}  // namespace
}  // namespace qel::engine
