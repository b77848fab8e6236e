// The engine under several threads: accounting, exactly-once callbacks,
// clear racing with inserts, and wait covering writes that another thread
// took out of a shared stripe.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <random>
#include <set>

#include "engine_test_util.h"

namespace qel::engine {
namespace {

using namespace testing;  // the engine suites' helpers

constexpr int kKeys = 400;

std::string key_of(uint64_t k) { return "key-" + std::to_string(k); }

TEST(EngineConcurrency, WritersReadersAndClearsKeepTheAccounting) {
  for (const bool clearing : {false, true}) {
    SCOPED_TRACE(clearing ? "with clears" : "without clears");
    auto recorder = std::make_shared<Recorder>();
    // A frequency record that starts small grows while the others read and write.
    TestEngine cache = make_engine(20'000, recorder, 64, {}, CounterSizing::FollowEntries);
    std::vector<char> accepted(4 * 3000);  // by id; each id has one writer
    std::atomic<int> writing{4};
    on_threads(6, [&](int t) {
      std::mt19937 random(t);
      if (t >= 4) {  // a reader, on a hot quarter of the keys
        while (writing.load() > 0) {
          const int k = static_cast<int>(random() % (kKeys / 4));
          if (auto value = cache.get(key_of(k))) { ASSERT_EQ((*value)->key, key_of(k)); }
        }
        return;
      }
      for (int i = 0; i < 3000; ++i) {  // EXPECT, not ASSERT: the readers stop only when every writer ends
        const int id = t * 3000 + i, k = static_cast<int>(random() % kKeys);
        accepted[id] = put(cache, id, key_of(k), 1 + static_cast<int64_t>(random() % 400));
        if (clearing && random() % 16 == 0) { EXPECT_TRUE(cache.try_remove(key_of(random() % kKeys))); }
        if (clearing && t == 0 && i % 200 == 0) { EXPECT_TRUE(cache.clear()); }  // 15 amid the others' writes
      }
      --writing;
    });
    ASSERT_TRUE(cache.wait());
    const auto stats = cache.stats();
    EXPECT_EQ(stats.generation, clearing ? 15u : 0u);
    // The engine's accounting against what the store holds, every key probed.
    int64_t held_cost = 0;
    std::set<int> held;
    for (int k = 0; k < kKeys; ++k) {
      if (auto value = cache.get(key_of(k))) {
        held_cost += (*value)->cost;
        held.insert((*value)->id);
      }
    }
    EXPECT_EQ(held_cost, stats.used);
    EXPECT_EQ(held.size(), stats.admitted);
    EXPECT_EQ(stats.stored, stats.admitted);
    EXPECT_LE(stats.peak_used, 20'000);
    EXPECT_TRUE(eventually([&] { return cache.policy().counters() > 64; })) << "the record never grew";
    expect_each_reported_once(*recorder);
    const auto seen = recorder->seen();
    EXPECT_FALSE(seen.empty());
    // Held or reported, never both; only a clear drops a value silently.
    for (int id = 0; id < 4 * 3000; ++id) {
      EXPECT_TRUE(!accepted[id] || (held.contains(id) ? !seen.contains(id) : clearing || seen.contains(id))) << id;
    }
  }
}

// Runs `body` on a thread whose insert stripe is `stripe`, trying new threads
// until one lands there.
std::thread thread_on_stripe(size_t stripe, std::function<void()> body) {
  for (;;) {
    auto landed = std::make_shared<std::promise<bool>>();
    std::thread thread([landed, stripe, body] {
      const bool mine = current_thread_stripe(InsertStripeRing::kStripes) == stripe;
      landed->set_value(mine);
      if (mine) body();
    });
    if (landed->get_future().get()) return thread;
    thread.join();
  }
}

std::atomic<int> hook_calls{0};
std::promise<void> hook_entered, waiter_blocked;
std::atomic<bool> let_go{false};

// Holds A's batch until the waiter blocks on it; the 30 s only turn a wait
// that never blocks into a failure.
void pausing_hook() {
  if (hook_calls.fetch_add(1) != 0) return;
  hook_entered.set_value();
  EXPECT_EQ(waiter_blocked.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready)
      << "the wait did not wait for the batch A holds";
  let_go = true;
}

std::atomic<bool> waiter_announced{false};
void blocked_hook() {
  if (!waiter_announced.exchange(true)) waiter_blocked.set_value();
}

TEST(EngineConcurrency, WaitCoversAWriteAnotherThreadTookFromTheStripe) {
  // This thread writes one item; A, on the same stripe, fills it and is paused
  // after taking the full batch (with our item) and before sending it. Our
  // wait must not return until that batch is in the channel.
  TestEngine cache = make_engine(1'000'000);
  hook_entered = {};
  waiter_blocked = {};
  hook_calls = 0;
  let_go = false;
  waiter_announced = false;
  ASSERT_TRUE(put(cache, 1, "mine", 10));
  InsertStripeRing::after_take_hook.store(&pausing_hook);
  std::thread a = thread_on_stripe(current_thread_stripe(InsertStripeRing::kStripes), [&] {
    // 63 writes fill it, unless the ticker drained our item first: then more.
    for (int i = 0; hook_calls.load() == 0; ++i) ASSERT_TRUE(put(cache, 100 + i, "a-" + std::to_string(i), 10));
  });
  hook_entered.get_future().wait();  // A holds the full batch, unsent
  InsertStripeRing::before_settle_wait_hook.store(&blocked_hook);
  EXPECT_TRUE(cache.wait());
  EXPECT_TRUE(let_go.load());
  EXPECT_TRUE(cache.policy().contains(cache.key_hash("mine")));
  a.join();
  InsertStripeRing::after_take_hook.store(nullptr);
  InsertStripeRing::before_settle_wait_hook.store(nullptr);
}

}  // namespace
}  // namespace qel::engine
