// SeaHash and SipHash against published vectors; sketch counts and
// halving, TinyLFU, sizes checked before anything is allocated, and growth
// that keeps the counts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
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

TEST(SeaHash, VectorsAcrossWordAndLaneBoundariesAndStreaming) {
  EXPECT_EQ(seahash("to be or not to be", 18), 1988685042348123509ULL);
  // Pinned from a word-at-a-time reference: a tail alone, one word, one lane
  // cycle, a tail in the wrapped lane, several cycles.
  const std::vector<std::pair<size_t, uint64_t>> pinned = {
      {0, 0xc920ca43256fdcb9ULL},  {7, 0xf2401b4f29a84bddULL},  {8, 0xbef3905516c9161dULL},
      {32, 0x2f6b06cf184a204fULL}, {33, 0x4e44cd0f57422a14ULL}, {100, 0x3331a656bbf415bcULL}};
  for (const auto& [len, hash] : pinned) EXPECT_EQ(seahash(counting(len).data(), len), hash) << len;
  // Streaming split at a varying offset, so a write resumes a pending word.
  for (size_t len = 0; len <= 100; ++len) {
    const auto bytes = counting(len);
    const size_t split = (len * 5) % (len + 1);
    SeaHasher hasher;
    hasher.write(bytes.data(), split);
    hasher.write(bytes.data() + split, len - split);
    EXPECT_EQ(hasher.finish(), seahash(bytes.data(), len)) << len << " split " << split;
  }
}

TEST(SipHash, PublishedVectors) {
  // The SipHash paper's key 00..0f (Appendix A): SipHash-2-4.
  const uint64_t k0 = 0x0706050403020100ULL, k1 = 0x0f0e0d0c0b0a0908ULL;
  EXPECT_EQ(siphash(2, 4, k0, k1, nullptr, 0), 0x726fdb47dd0e0e31ULL);
  EXPECT_EQ(siphash(2, 4, k0, k1, counting(15).data(), 15), 0xa129ca6149be45e5ULL);
  // CPython's bytes hash is SipHash-1-3; PYTHONHASHSEED=0 makes both keys zero.
  const std::vector<std::pair<std::vector<unsigned char>, uint64_t>> vectors = {
      {{'a', 'b', 'c'}, 0xc03bc3a0042630f2ULL},
      {counting(8), 0xead411e67ebe2eeaULL},
      {counting(15), 0xf30eb725bb91c9eaULL},
      {counting(64), 0x75e05fd5bbc870c6ULL},
  };
  for (const auto& [message, hash] : vectors) EXPECT_EQ(siphash13(0, 0, message.data(), message.size()), hash);
}

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

bool mentions(const EngineError& error, const std::string& text) {
  return error.to_string().find(text) != std::string::npos;
}

TEST(CountMinSketch, WidthsAndRefusals) {
  const std::vector<std::pair<uint64_t, std::optional<uint64_t>>> cases = {
      {1, 2}, {2, 2}, {1000, 1024}, {1024, 1024}, {(uint64_t{1} << 62) + 1, std::nullopt}, {kMax, std::nullopt}};
  for (const auto& [counters, width] : cases) EXPECT_EQ(CountMinSketch::width_for(counters), width) << counters;
  auto refused = CountMinSketch::create(kMax, {0, 0, 0, 0});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), EngineError::Kind::InvalidCountMinWidth);
}

TEST(CountMinSketch, CountsSaturatesHalvesAndClears) {
  // Zero seeds put hash h on counter h of every row; 4 and 5 share a byte.
  auto sketch = CountMinSketch::create(16, {0, 0, 0, 0});
  ASSERT_TRUE(sketch);
  for (int i = 1; i <= 20; ++i) {
    sketch->increment(4);
    ASSERT_EQ(sketch->estimate(4), std::min(i, 15));
  }
  sketch->increment(5);
  for (int i = 0; i < 6; ++i) sketch->increment(6);
  sketch->reset();
  for (int row = 0; row < 4; ++row) {
    EXPECT_EQ(sketch->counter(row, 4), 7);
    EXPECT_EQ(sketch->counter(row, 5), 0);
    EXPECT_EQ(sketch->counter(row, 6), 3);
  }
  sketch->clear();
  EXPECT_EQ(sketch->estimate(4), 0);
  EXPECT_EQ(sketch->widened(4)->width(), 16u) << "a smaller request keeps the width";
  // Each row hashes with its own seed.
  auto seeded = CountMinSketch::create(16, {0, 1, 2, 3});
  seeded->increment(0);
  for (int row = 0; row < 4; ++row) EXPECT_EQ(seeded->counter(row, row), 1);
  EXPECT_EQ(seeded->counter(1, 0), 0);
}

TEST(TinyLFU, RatiosAndSizesCheckedBeforeAllocating) {
  const std::string bad_ratio = "false_positive_ratio must be finite and > 0; got";
  const std::vector<std::tuple<uint64_t, double, std::string>> cases = {
      {100, 0.0, bad_ratio},
      {100, std::nan(""), bad_ratio},
      {100, std::numeric_limits<double>::infinity(), bad_ratio},
      {100, 5e-324, "bloom set_locs out of range"},  // passes the ratio check, then too many probes
      {100, 65.0, "bloom set_locs out of range: 65"},
      {200'000'000'000ULL, 0.01, "bloom entries out of range: "},
  };
  for (const auto& [entries, ratio, text] : cases) {
    auto refused = Bloom::params(entries, ratio);
    ASSERT_FALSE(refused) << entries << " " << ratio;
    EXPECT_TRUE(mentions(refused.error(), text)) << refused.error().to_string();
  }
  // The doorkeeper's size is refused before the larger sketch is allocated.
  auto refused = TinyLFU::create(200'000'000'000ULL, 200'000'000'000ULL);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), EngineError::Kind::InvalidNumCounters);
  EXPECT_TRUE(mentions(refused.error(), "bloom entries out of range"));
}

TEST(TinyLFU, GrowsOnlyLargerAndKeepsCountsAcrossTheReset) {
  auto lfu = TinyLFU::create(16, 16);
  ASSERT_TRUE(lfu);
  for (int i = 0; i < 9; ++i) lfu->increment(42);  // 8 in the sketch
  for (uint64_t one_off = 1; one_off < 7; ++one_off) lfu->increment(one_off * 1000);
  EXPECT_TRUE(lfu->increment(7000));  // the 16th record ends the sample
  EXPECT_FALSE(lfu->grow(16));
  EXPECT_FALSE(lfu->grow(10));
  ASSERT_TRUE(lfu->grow(5000));
  EXPECT_EQ(lfu->reset_at(), 5000u);
  EXPECT_EQ(lfu->sketch().width(), 8192u);
  EXPECT_EQ(lfu->doorkeeper().size(), 65536u);
  EXPECT_EQ(lfu->estimate(42), 4);  // halved, then carried into the wider sketch
  EXPECT_EQ(lfu->estimate(3000), 0);
  // Within the same width only the sample and the doorkeeper grow.
  for (int i = 0; i < 5000; ++i) lfu->increment(77);
  ASSERT_TRUE(lfu->grow(6000));
  EXPECT_EQ(lfu->sketch().width(), 8192u);
  EXPECT_EQ(lfu->reset_at(), 6000u);
  EXPECT_EQ(lfu->estimate(42), 2);
}

}  // namespace
}  // namespace qel::engine
