// Sketch counts and halving, the doorkeeper, TinyLFU, and sizes
// checked before anything is allocated.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/sketch.h"

namespace qel::engine {
namespace {

const std::array<uint64_t, 4> kZeroSeeds{0, 0, 0, 0};

TEST(CountMinSketch, WidthIsPowerOfTwoAtLeastTwo) {
  auto sketch = CountMinSketch::create(1000, kZeroSeeds);
  ASSERT_TRUE(sketch);
  EXPECT_EQ(sketch->width(), 1024u);
  EXPECT_EQ(sketch->row_bytes(), 512u);
  EXPECT_EQ(sketch->mask(), 1023u);
  EXPECT_EQ(CountMinSketch::create(1024, kZeroSeeds)->width(), 1024u);
  // A count of 1 would give rows of no bytes: clamped to width 2.
  auto tiny = CountMinSketch::create(1, kZeroSeeds);
  ASSERT_TRUE(tiny);
  EXPECT_EQ(tiny->width(), 2u);
  EXPECT_EQ(tiny->row_bytes(), 1u);
  tiny->increment(0);
  tiny->increment(0);
  tiny->increment(1);
  EXPECT_EQ(tiny->estimate(0), 2);
  EXPECT_EQ(tiny->estimate(1), 1);
}

TEST(CountMinSketch, WidthOverflowIsAnError) {
  EXPECT_FALSE(CountMinSketch::width_for((uint64_t{1} << 62) + 1));
  EXPECT_FALSE(CountMinSketch::width_for(std::numeric_limits<uint64_t>::max()));
  auto refused = CountMinSketch::create(std::numeric_limits<uint64_t>::max(), kZeroSeeds);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), CacheError::Kind::InvalidCountMinWidth);
}

TEST(CountMinSketch, CountsAndSaturatesAtFifteen) {
  auto sketch = CountMinSketch::create(64, {1, 2, 3, 4});
  ASSERT_TRUE(sketch);
  EXPECT_EQ(sketch->estimate(42), 0);
  for (int i = 1; i <= 20; ++i) {
    sketch->increment(42);
    EXPECT_EQ(sketch->estimate(42), std::min(i, 15));
  }
  EXPECT_EQ(sketch->estimate(43) <= 15, true);
}

TEST(CountMinSketch, ResetHalvesBothNibblesIndependently) {
  auto sketch = CountMinSketch::create(16, kZeroSeeds);
  ASSERT_TRUE(sketch);
  // With zero seeds hash h lands on counter h in every row: 4 and 5 share a byte.
  for (int i = 0; i < 15; ++i) sketch->increment(4);
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
  EXPECT_EQ(sketch->estimate(6), 0);
}

TEST(CountMinSketch, RowsUseTheirSeeds) {
  auto sketch = CountMinSketch::create(16, {0, 1, 2, 3});
  ASSERT_TRUE(sketch);
  sketch->increment(0);
  EXPECT_EQ(sketch->counter(0, 0), 1);
  EXPECT_EQ(sketch->counter(1, 1), 1);
  EXPECT_EQ(sketch->counter(2, 2), 1);
  EXPECT_EQ(sketch->counter(3, 3), 1);
  EXPECT_EQ(sketch->counter(1, 0), 0);
}

TEST(Bloom, Sizes) {
  auto one = Bloom::create(1, 0.01);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->size(), 512u);
  EXPECT_EQ(one->exp(), 9u);
  EXPECT_EQ(one->set_locs(), 7u);
  EXPECT_EQ(Bloom::create(0, 0.01)->size(), 512u);
  auto probes = Bloom::create(100, 4.0);
  ASSERT_TRUE(probes);
  EXPECT_EQ(probes->size(), 512u);
  EXPECT_EQ(probes->set_locs(), 4u);
  EXPECT_EQ(Bloom::create(1000, 0.01)->size(), 16384u);
  EXPECT_EQ(Bloom::create(10000, 0.01)->size(), 131072u);
  EXPECT_EQ(Bloom::create(10000, 0.01)->set_locs(), 7u);
}

TEST(Bloom, RefusesBadRatiosAndSizes) {
  for (const double ratio : {0.0, -0.5, std::nan(""), std::numeric_limits<double>::infinity()}) {
    auto refused = Bloom::params(100, ratio);
    ASSERT_FALSE(refused) << ratio;
    EXPECT_NE(refused.error().to_string().find("false_positive_ratio must be finite and > 0; got"), std::string::npos);
  }
  // A positive subnormal passes the ratio check; it then asks for too many probes.
  auto subnormal = Bloom::params(100, 5e-324);
  ASSERT_FALSE(subnormal);
  EXPECT_NE(subnormal.error().to_string().find("bloom set_locs out of range"), std::string::npos);
  auto too_many = Bloom::params(200'000'000'000ULL, 0.01);
  ASSERT_FALSE(too_many);
  EXPECT_NE(too_many.error().to_string().find("bloom entries out of range: "), std::string::npos);
  EXPECT_NE(too_many.error().to_string().find("max is 1099511627776"), std::string::npos);
  auto probes = Bloom::params(100, 65.0);
  ASSERT_FALSE(probes);
  EXPECT_NE(probes.error().to_string().find("bloom set_locs out of range: 65"), std::string::npos);
}

TEST(Bloom, ContainsOrAdd) {
  auto bloom = Bloom::create(1000, 0.01);
  ASSERT_TRUE(bloom);
  EXPECT_FALSE(bloom->contains(0xdeadbeef));
  EXPECT_TRUE(bloom->contains_or_add(0xdeadbeef));
  EXPECT_FALSE(bloom->contains_or_add(0xdeadbeef));
  EXPECT_TRUE(bloom->contains(0xdeadbeef));
  bloom->clear();
  EXPECT_FALSE(bloom->contains(0xdeadbeef));
}

TEST(Bloom, FalsePositiveRateNearRatio) {
  auto bloom = Bloom::create(10000, 0.01);
  ASSERT_TRUE(bloom);
  uint64_t x = 0x9e3779b97f4a7c15ULL;
  auto next = [&] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x * 0x2545f4914f6cdd1dULL;
  };
  for (int i = 0; i < 10000; ++i) bloom->contains_or_add(next());
  int false_positives = 0;
  for (int i = 0; i < 10000; ++i) false_positives += bloom->contains(next());
  EXPECT_LT(false_positives, 200);  // 1% expected (less: the size is rounded up)
}

TEST(TinyLFU, DoorkeeperAbsorbsFirstSighting) {
  auto lfu = TinyLFU::create(1000, 1000, 7);
  ASSERT_TRUE(lfu);
  EXPECT_EQ(lfu->estimate(99), 0);
  lfu->increment(99);
  EXPECT_EQ(lfu->sketch().estimate(99), 0);
  EXPECT_EQ(lfu->estimate(99), 1);
  lfu->increment(99);
  EXPECT_EQ(lfu->sketch().estimate(99), 1);
  EXPECT_EQ(lfu->estimate(99), 2);
}

TEST(TinyLFU, ResetAfterResetAtRecords) {
  auto lfu = TinyLFU::create(100, 10, 7);
  ASSERT_TRUE(lfu);
  for (int i = 0; i < 9; ++i) lfu->increment(5);  // 1 doorkeeper + 8 sketch
  EXPECT_EQ(lfu->recorded(), 9u);
  EXPECT_EQ(lfu->estimate(5), 9);
  lfu->increment(5);  // the 10th: counter 9, then halved to 4, doorkeeper emptied
  EXPECT_EQ(lfu->recorded(), 0u);
  EXPECT_FALSE(lfu->doorkeeper().contains(5));
  EXPECT_EQ(lfu->estimate(5), 4);
  lfu->clear();
  EXPECT_EQ(lfu->estimate(5), 0);
}

TEST(TinyLFU, SizesCheckedBeforeAllocation) {
  // A doorkeeper over 2^40 bits is refused before the (larger) sketch is
  // allocated; neither ends the process.
  auto refused = TinyLFU::create(200'000'000'000ULL, 200'000'000'000ULL, 0);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), CacheError::Kind::InvalidNumCounters);
  EXPECT_NE(refused.error().to_string().find("bloom entries out of range"), std::string::npos);
  auto huge = TinyLFU::create(std::numeric_limits<uint64_t>::max(), 1, 0);
  ASSERT_FALSE(huge);
  auto one = TinyLFU::create(1, 1, 0);
  ASSERT_TRUE(one);
  one->increment(3);
  one->increment(3);
  EXPECT_LE(one->estimate(3), 16);
}

}  // namespace
}  // namespace qel::engine
