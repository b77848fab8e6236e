// Costed admission, sampled eviction, the access ring and the
// policy thread.
#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/lfu_policy.h"
#include "engine_test_util.h"

namespace qel::engine {
namespace {

using testing::eventually;
using testing::on_threads;
using Kind = AddOutcome::Kind;
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
