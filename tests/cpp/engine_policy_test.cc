// SeaHash and SipHash against published vectors; sketch counts and halving,
// TinyLFU, sizes checked before anything is allocated, growth that keeps the
// counts; costed admission, sampled eviction, the access ring and the policy
// thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/hash.h"
#include "engine/lfu_policy.h"
#include "engine/sketch.h"
#include "engine_test_util.h"

namespace qel::engine {
namespace {

using testing::eventually;
using testing::on_threads;
using Kind = AddOutcome::Kind;

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

constexpr uint64_t kMaxCounters = std::numeric_limits<uint64_t>::max();

TEST(CountMinSketch, WidthsAndRefusals) {
  const std::vector<std::pair<uint64_t, std::optional<uint64_t>>> cases = {
      {1, 2}, {2, 2}, {1000, 1024}, {1024, 1024}, {(uint64_t{1} << 62) + 1, std::nullopt}, {kMaxCounters, std::nullopt}};
  for (const auto& [counters, width] : cases) EXPECT_EQ(CountMinSketch::width_for(counters), width) << counters;
  auto refused = CountMinSketch::create(kMaxCounters, {0, 0, 0, 0});
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

// The doorkeeper's size is refused before the larger sketch is allocated.
TEST(TinyLFU, SizesCheckedBeforeAllocating) {
  auto refused = TinyLFU::create(200'000'000'000ULL, 200'000'000'000ULL);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), EngineError::Kind::InvalidNumCounters);
  EXPECT_EQ(refused.error().to_string().rfind("num_counters out of range: bloom entries out of range: ", 0), 0u)
      << refused.error().to_string();
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

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

// A policy whose thread is stopped when the test ends.
struct Policy {
  explicit Policy(int64_t max_cost, uint64_t counters = 1000, CounterSizing sizing = CounterSizing::Fixed)
      : policy(*LFUPolicy::create(counters, max_cost, sizing)) {}
  ~Policy() { policy->stop(); }
  LFUPolicy* operator->() const { return policy.get(); }
  void record(uint64_t key, int times) const { policy->record(std::vector<uint64_t>(times, key)); }
  std::shared_ptr<LFUPolicy> policy;
};

TEST(LFUPolicy, AdmissionTable) {
  struct Case {
    const char* name;
    int64_t budget;
    std::vector<PolicyPair> residents;
    std::vector<std::pair<uint64_t, int>> reads;
    PolicyPair offered;
    Kind kind;
    int64_t used;
    size_t victims;
  };
  const std::vector<Case> cases = {
      {"fits", 100, {{1, 60}}, {}, {2, 40}, Kind::Added, 100, 0},
      {"cold newcomer when full", 100, {{1, 60}, {2, 40}}, {{1, 3}, {2, 3}}, {3, 1}, Kind::Rejected, 100, 0},
      {"over budget", 100, {}, {}, {1, 101}, Kind::TooLarge, 0, 0},
      {"negative", 100, {}, {}, {1, -1}, Kind::TooLarge, 0, 0},
      {"cost shrinks", 100, {{1, 10}}, {}, {1, 5}, Kind::CostUpdated, 5, 0},
      // Growing past the room left is admitted afresh: here lost to key 2.
      {"cost grows past room", 100, {{1, 50}, {2, 50}}, {{2, 5}}, {1, 80}, Kind::Rejected, 50, 0},
      {"tie evicts", 10, {{1, 10}}, {{1, 2}, {2, 2}}, {2, 10}, Kind::Added, 10, 1},
      {"lower refused", 10, {{1, 10}}, {{1, 3}, {2, 2}}, {2, 10}, Kind::Rejected, 10, 0},
      {"evicts several", 100, {{1, 25}, {2, 25}, {3, 25}, {4, 25}}, {{100, 4}}, {100, 35}, Kind::Added, 85, 2},
      // used + cost would overflow; the comparisons must not.
      {"near INT64_MAX", kMax, {{1, kMax - 10}, {2, 10}}, {{1, 5}, {2, 5}}, {3, kMax}, Kind::Rejected, kMax, 0},
      {"cost grows to INT64_MAX", kMax, {{1, 10}}, {}, {1, kMax}, Kind::CostUpdated, kMax, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Policy policy(c.budget);
    for (const auto& [key, cost] : c.residents) ASSERT_EQ(policy->add(key, cost).kind, Kind::Added);
    for (const auto& [key, times] : c.reads) policy.record(key, times);
    const AddOutcome outcome = policy->add(c.offered.key, c.offered.cost);
    EXPECT_EQ(outcome.kind, c.kind);
    EXPECT_EQ(policy->used(), c.used);
    EXPECT_EQ(outcome.victims.size(), c.victims);
    EXPECT_EQ(policy->contains(c.offered.key), c.kind != Kind::Rejected && c.kind != Kind::TooLarge);
    for (const PolicyPair& victim : outcome.victims) EXPECT_FALSE(policy->contains(victim.key));
  }
}

TEST(LFUPolicy, RefusedPartWayKeepsItsVictimsEvictedThenClearAndStop) {
  // 1..5 cold, 6..10 hot: the newcomer evicts cold keys, then meets a hot one.
  Policy policy(100);
  for (uint64_t key = 1; key <= 10; ++key) policy->add(key, 10);
  for (uint64_t key = 6; key <= 10; ++key) policy.record(key, 8);
  policy.record(200, 3);
  const AddOutcome refused = policy->add(200, 60);
  EXPECT_EQ(refused.kind, Kind::Rejected);
  for (const auto& victim : refused.victims) EXPECT_LE(victim.key, 5u);
  EXPECT_EQ(policy->used(), 100 - 10 * static_cast<int64_t>(refused.victims.size()));
  EXPECT_EQ(policy->len(), 10 - refused.victims.size());
  // Clear forgets the costs and the counts.
  policy->clear();
  EXPECT_EQ(policy->used(), 0);
  EXPECT_EQ(policy->len(), 0u);
  EXPECT_EQ(policy->estimate(10), 0);
  // Once stopped, a batch comes back to the caller.
  EXPECT_FALSE(policy->push({1, 2}).has_value());
  policy->stop();
  EXPECT_EQ(policy->push({3}).value_or(std::vector<uint64_t>{}), std::vector<uint64_t>{3});
}

TEST(LFUPolicy, FrequencyRecordFollowsTheKeysHeldUnlessFixed) {
  // The sizing, the keys held, and the counters after one sample.
  const std::vector<std::tuple<CounterSizing, uint64_t, uint64_t>> cases = {
      {CounterSizing::FollowEntries, 1, 64},  // fewer wanted: never below the start
      {CounterSizing::FollowEntries, 100, 100 * LFUPolicy::kCountersPerEntry},
      {CounterSizing::FollowEntries, 1'000'000, LFUPolicy::kMaxGrownCounters},
      {CounterSizing::Fixed, 100, 64},
  };
  for (const auto& [sizing, residents, counters] : cases) {
    SCOPED_TRACE(residents);
    Policy policy(kMax, 64, sizing);
    for (uint64_t key = 1; key <= residents; ++key) ASSERT_EQ(policy->add(key, 1).kind, Kind::Added);
    policy.record(1, 63);
    EXPECT_EQ(policy->counters(), 64u);  // only the end of a sample grows it
    policy.record(2, 1);
    EXPECT_EQ(policy->counters(), counters);
    EXPECT_EQ(policy->estimate(1), 7);  // 15 in the sketch, halved and carried into the wider one
  }
}

TEST(RingStripe, SixtyFourthReadDeliversTheBatchAndNoReadIsLost) {
  Policy policy(100, 100'000);
  RingStripe ring(policy.policy);
  // This thread is the ring's only reader yet, so one stripe fills.
  for (int i = 0; i < 63; ++i) ring.push(77);
  ring.push(78);  // the 64th read fills the stripe and goes with its batch
  EXPECT_TRUE(eventually([&] { return policy->applied_batches() == 1; }));
  EXPECT_EQ(policy->estimate(77), 16);  // 15 in the sketch, 1 from the doorkeeper
  EXPECT_EQ(policy->estimate(78), 1) << "a batch went before its stripe was full";
  on_threads(4, [&](int) {
    for (int i = 0; i < 64 * 50; ++i) ring.push(i % 2 ? 5 : 6);
  });
  EXPECT_TRUE(eventually([&] { return policy->applied_batches() == 201; }));
  EXPECT_EQ(policy->estimate(5), 16);
}

}  // namespace
}  // namespace qel::engine
