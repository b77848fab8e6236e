// Costed admission, sampled eviction, the access ring and the
// policy thread.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <unordered_set>
#include <vector>

#include "engine/policy.h"

namespace qel::engine {
namespace {

using Kind = AddOutcome::Kind;

// A policy whose thread is stopped when the test ends.
struct Policy {
  explicit Policy(int64_t max_cost, uint64_t counters = 1000) {
    auto created = LFUPolicy::create(counters, max_cost);
    EXPECT_TRUE(created);
    policy = *created;
  }
  ~Policy() { policy->stop(); }
  LFUPolicy* operator->() const { return policy.get(); }
  std::shared_ptr<LFUPolicy> policy;
};

void record(LFUPolicy& policy, uint64_t key, int times) {
  std::vector<uint64_t> hashes(times, key);
  policy.record(hashes);
}

TEST(LFUPolicy, AdmitsWithoutFrequenciesWhileThereIsRoom) {
  Policy policy(100);
  EXPECT_EQ(policy->add(1, 60).kind, Kind::Added);
  const AddOutcome fits = policy->add(2, 40);
  EXPECT_EQ(fits.kind, Kind::Added);
  EXPECT_TRUE(fits.victims.empty());
  EXPECT_EQ(policy->used(), 100);
  // Full now: with the residents read before, a new key of cost 1 and no
  // history loses to every candidate.
  record(*policy.policy, 1, 3);
  record(*policy.policy, 2, 3);
  const AddOutcome refused = policy->add(3, 1);
  EXPECT_EQ(refused.kind, Kind::Rejected);
  EXPECT_TRUE(refused.victims.empty());
  EXPECT_EQ(policy->used(), 100);
}

TEST(LFUPolicy, TooLargeAndZeroCost) {
  Policy policy(100);
  EXPECT_EQ(policy->add(1, 101).kind, Kind::TooLarge);
  EXPECT_EQ(policy->add(1, -1).kind, Kind::TooLarge);
  EXPECT_EQ(policy->used(), 0);
  EXPECT_EQ(policy->add(2, 100).kind, Kind::Added);
  const AddOutcome zero = policy->add(3, 0);
  EXPECT_EQ(zero.kind, Kind::Added);
  EXPECT_TRUE(zero.victims.empty());
}

TEST(LFUPolicy, CostUpdated) {
  Policy policy(100);
  policy->add(1, 10);
  EXPECT_EQ(policy->add(1, 30).kind, Kind::CostUpdated);
  EXPECT_EQ(policy->used(), 30);
  EXPECT_EQ(policy->add(1, 5).kind, Kind::CostUpdated);
  EXPECT_EQ(policy->used(), 5);
}

TEST(LFUPolicy, GrowingCostNeverOverrunsTheBudget) {
  Policy policy(100);
  policy->add(1, 50);
  policy->add(2, 50);
  record(*policy.policy, 2, 5);
  // Key 1 growing to 80 needs room: it is admitted afresh, here refused
  // against the hotter key 2, and is no longer resident.
  const AddOutcome grown = policy->add(1, 80);
  EXPECT_EQ(grown.kind, Kind::Rejected);
  EXPECT_LE(policy->used(), 100);
  EXPECT_FALSE(policy->contains(1));
}

TEST(LFUPolicy, TieEvictsOneLowerRefuses) {
  {
    Policy policy(10);
    policy->add(1, 10);
    record(*policy.policy, 1, 2);  // estimate 2
    record(*policy.policy, 2, 2);  // estimate 2: a tie admits
    const AddOutcome tie = policy->add(2, 10);
    EXPECT_EQ(tie.kind, Kind::Added);
    ASSERT_EQ(tie.victims.size(), 1u);
    EXPECT_EQ(tie.victims[0], (PolicyPair{1, 10}));
    EXPECT_EQ(policy->used(), 10);
  }
  {
    Policy policy(10);
    policy->add(1, 10);
    record(*policy.policy, 1, 3);  // estimate 3
    record(*policy.policy, 2, 2);  // estimate 2
    EXPECT_EQ(policy->add(2, 10).kind, Kind::Rejected);
    EXPECT_EQ(policy->used(), 10);
    EXPECT_TRUE(policy->contains(1));
  }
}

TEST(LFUPolicy, LargeKeyEvictsSeveralOrIsRefusedPartWay) {
  Policy policy(100);
  for (uint64_t key = 1; key <= 10; ++key) policy->add(key, 10);
  record(*policy.policy, 100, 4);
  const AddOutcome big = policy->add(100, 35);
  EXPECT_EQ(big.kind, Kind::Added);
  EXPECT_EQ(big.victims.size(), 4u);
  EXPECT_EQ(policy->used(), 95);
  std::unordered_set<uint64_t> gone;
  for (const auto& victim : big.victims) gone.insert(victim.key);
  EXPECT_EQ(gone.size(), 4u);

  // Residents 1..5 cold, 6..10 hot: a 60 that must evict hot keys gets some
  // cold victims first, then is refused; the victims stay evicted.
  Policy second(100);
  for (uint64_t key = 1; key <= 10; ++key) second->add(key, 10);
  for (uint64_t key = 6; key <= 10; ++key) record(*second.policy, key, 8);
  record(*second.policy, 200, 3);
  const AddOutcome refused = second->add(200, 60);
  EXPECT_EQ(refused.kind, Kind::Rejected);
  for (const auto& victim : refused.victims) EXPECT_LE(victim.key, 5u);
  EXPECT_EQ(second->used(), 100 - 10 * static_cast<int64_t>(refused.victims.size()));
  EXPECT_FALSE(second->contains(200));
}

TEST(LFUPolicy, BudgetHoldsUnderRandomTraffic) {
  Policy policy(10'000, 5000);
  std::mt19937_64 random(42);
  for (int step = 0; step < 20'000; ++step) {
    const uint64_t key = random() % 3000;
    const int64_t cost = 1 + static_cast<int64_t>(random() % 500);
    record(*policy.policy, key % 300, 1);  // a hot subset
    switch (random() % 8) {
      case 0:
        policy->remove(key);
        break;
      default: {
        const AddOutcome outcome = policy->add(key, cost);
        if (outcome.kind == Kind::Rejected || outcome.kind == Kind::TooLarge) {
          EXPECT_FALSE(policy->contains(key));
        }
        break;
      }
    }
    ASSERT_LE(policy->used(), 10'000);
    ASSERT_GE(policy->used(), 0);
  }
  EXPECT_LE(policy->peak_used(), 10'000);
}

TEST(LFUPolicy, BudgetArithmeticNearInt64Max) {
  const int64_t max = std::numeric_limits<int64_t>::max();
  Policy policy(max);
  EXPECT_EQ(policy->add(1, max - 10).kind, Kind::Added);
  EXPECT_EQ(policy->add(2, 10).kind, Kind::Added);
  EXPECT_EQ(policy->used(), max);
  record(*policy.policy, 1, 5);
  record(*policy.policy, 2, 5);
  // used + cost would overflow; the comparison does not.
  EXPECT_EQ(policy->add(3, max).kind, Kind::Rejected);
  EXPECT_EQ(policy->used(), max);
}

TEST(LFUPolicy, ClearForgetsEverything) {
  Policy policy(100);
  policy->add(1, 10);
  record(*policy.policy, 1, 4);
  policy->clear();
  EXPECT_EQ(policy->used(), 0);
  EXPECT_EQ(policy->len(), 0u);
  EXPECT_EQ(policy->estimate(1), 0);
}

TEST(LFUPolicy, PushGivesBackEmptyAndAfterStop) {
  Policy policy(100);
  EXPECT_TRUE(policy->push({}).has_value());
  EXPECT_FALSE(policy->push({1, 2}).has_value());
  policy->stop();
  auto back = policy->push({3});
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, std::vector<uint64_t>{3});
}

void await_batches(const LFUPolicy& policy, uint64_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (policy.applied_batches() < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST(RingStripe, SixtyFourthReadDeliversTheBatch) {
  Policy policy(100);
  RingStripe ring(policy.policy);
  std::promise<void> pushed_63;
  std::promise<void> go_on;
  // One thread, so one stripe; nobody else reads through this ring.
  std::thread reader([&] {
    for (int i = 0; i < 63; ++i) ring.push(77);
    pushed_63.set_value();
    go_on.get_future().wait();
    ring.push(77);
  });
  pushed_63.get_future().wait();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(policy->estimate(77), 0);
  EXPECT_EQ(policy->applied_batches(), 0u);
  go_on.set_value();
  reader.join();
  await_batches(*policy.policy, 1);
  EXPECT_EQ(policy->applied_batches(), 1u);
  EXPECT_EQ(policy->estimate(77), 16);  // 15 in the sketch, 1 from the doorkeeper
}

TEST(RingStripe, ManyReadersAreCounted) {
  Policy policy(100, 100'000);
  RingStripe ring(policy.policy);
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 64 * 50; ++i) ring.push(i % 2 ? 5 : 6);
    });
  }
  for (auto& reader : readers) reader.join();
  await_batches(*policy.policy, 200);
  EXPECT_EQ(policy->applied_batches(), 200u);
  EXPECT_EQ(policy->estimate(5), 16);
}

}  // namespace
}  // namespace qel::engine
