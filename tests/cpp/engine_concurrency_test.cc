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

std::string key_of(int k) { return "key-" + std::to_string(k); }

TEST(EngineConcurrency, WritersReadersAndClearsKeepTheAccounting) {
  for (const bool clearing : {false, true}) {
    SCOPED_TRACE(clearing ? "with clears" : "without clears");
    auto recorder = std::make_shared<Recorder>();
    TestCache cache = make_cache(20'000, recorder, 4000);
    std::mutex accepted_mutex;
    std::vector<int> accepted;
    std::vector<std::thread> writers, readers;
    for (int w = 0; w < 4; ++w) {
      writers.emplace_back([&, w] {
        std::mt19937 random(w);
        std::vector<int> mine;
        for (int i = 0; i < 3000; ++i) {
          const int id = w * 3000 + i, k = static_cast<int>(random() % kKeys);
          const int64_t cost = 1 + static_cast<int64_t>(random() % 400);
          if (cache.try_insert(key_of(k), make_value(id, key_of(k), cost), cost).value()) mine.push_back(id);
          if (clearing && random() % 16 == 0) {
            ASSERT_TRUE(cache.try_remove(key_of(static_cast<int>(random() % kKeys))));
          }
          if (clearing && w == 0 && i % 200 == 0) { ASSERT_TRUE(cache.clear()); }  // 15 clears amid the others' writes
          if (!clearing && i % 500 == 0) {
            ASSERT_TRUE(cache.wait());
            ASSERT_LE(cache.stats().used, 20'000);
          }
        }
        std::lock_guard lock(accepted_mutex);
        accepted.insert(accepted.end(), mine.begin(), mine.end());
      });
    }
    std::atomic<bool> stop{false};
    for (int r = 0; r < 2; ++r) {
      readers.emplace_back([&, r] {
        std::mt19937 random(100 + r);
        while (!stop.load()) {
          const int k = static_cast<int>(random() % (kKeys / 4));  // a hot quarter
          if (auto value = cache.get(key_of(k))) { ASSERT_EQ((*value)->key, key_of(k)); }
        }
      });
    }
    for (auto& writer : writers) writer.join();
    stop = true;
    for (auto& reader : readers) reader.join();
    ASSERT_TRUE(cache.wait());
    EXPECT_EQ(cache.stats().generation, clearing ? 15u : 0u);
    // The engine's accounting against what the store holds, every key probed.
    const auto stats = cache.stats();
    int64_t held_cost = 0;
    std::set<int> held;
    for (int k = 0; k < kKeys; ++k) {
      if (auto value = cache.get(key_of(k))) {
        EXPECT_EQ((*value)->key, key_of(k));
        held_cost += (*value)->cost;
        held.insert((*value)->id);
      }
    }
    EXPECT_EQ(held_cost, stats.used);
    EXPECT_EQ(held.size(), stats.admitted);
    EXPECT_EQ(stats.stored, stats.admitted);
    EXPECT_LE(stats.peak_used, 20'000);
    expect_each_reported_once(*recorder);
    const auto seen = recorder->seen();
    EXPECT_FALSE(seen.empty());
    // Held or reported, never both; only a clear drops a value silently.
    for (const int id : accepted) {
      EXPECT_TRUE(held.contains(id) ? !seen.contains(id) : clearing || seen.contains(id)) << id;
    }
    ASSERT_TRUE(cache.clear());
    EXPECT_EQ(cache.stats().used, 0);
    EXPECT_EQ(cache.stats().stored, 0u);
  }
}

// Runs `body` on a thread whose insert stripe is `stripe`, trying new threads
// until one lands there.
std::thread thread_on_stripe(size_t stripe, std::function<void()> body) {
  for (;;) {
    std::promise<bool> landed;
    auto go = std::make_shared<std::promise<bool>>();
    std::thread thread([&landed, go, stripe, body] {
      const bool mine = current_thread_stripe(InsertStripeRing::kStripes) == stripe;
      landed.set_value(mine);
      if (mine && go->get_future().get()) body();
    });
    const bool mine = landed.get_future().get();
    go->set_value(mine);
    if (mine) return thread;
    thread.join();
  }
}

std::atomic<int> hook_calls{0};
std::promise<void>* hook_entered = nullptr;
std::shared_future<void>* hook_release = nullptr;

void pausing_hook() {
  if (hook_calls.fetch_add(1) == 0) {
    hook_entered->set_value();
    hook_release->wait();
  }
}

TEST(EngineConcurrency, WaitCoversAWriteAnotherThreadTookFromTheStripe) {
  // This thread writes one item; A, on the same stripe, fills it and is paused
  // after taking the full batch (with our item) and before sending it. Our
  // wait must not return until that batch is in the channel.
  auto recorder = std::make_shared<Recorder>();
  TestCache cache = make_cache(1'000'000, recorder);
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  hook_entered = &entered;
  hook_release = &released;
  hook_calls = 0;
  ASSERT_TRUE(cache.try_insert("mine", make_value(1, "mine", 10), 10).value());
  InsertStripeRing::after_take_hook.store(&pausing_hook);
  std::thread a = thread_on_stripe(current_thread_stripe(InsertStripeRing::kStripes), [&] {
    // 63 writes fill it, unless the ticker drained our item first: then more.
    for (int i = 0; hook_calls.load() == 0; ++i) {
      const std::string key = "a-" + std::to_string(i);
      ASSERT_TRUE(cache.try_insert(key, make_value(100 + i, key, 10), 10).value());
    }
  });
  entered.get_future().wait();  // A holds the full batch, unsent
  std::atomic<bool> let_go{false};
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // time for a wait that returns early
    let_go = true;
    release.set_value();
  });
  EXPECT_TRUE(cache.wait());
  EXPECT_TRUE(let_go.load());
  EXPECT_TRUE(cache.policy().contains(cache.key_hash("mine")));
  releaser.join();
  a.join();
  InsertStripeRing::after_take_hook.store(nullptr);
}

TEST(EngineConcurrency, WaitersAndWritersOnOneStripe) {
  // Probabilistic companion: writers share stripes with waiters; after each
  // wait the waiter's own last write has been decided.
  auto recorder = std::make_shared<Recorder>();
  TestCache cache = make_cache(1'000'000'000, recorder, 10000);
  std::atomic<int> undecided{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        const std::string key = "w" + std::to_string(t) + "-" + std::to_string(i);
        const bool accepted = cache.try_insert(key, make_value(t * 1000 + i, key, 1), 1).value();
        if (t % 2 == 0 && i % 10 == 0) {
          ASSERT_TRUE(cache.wait());
          const bool decided = cache.policy().contains(cache.key_hash(key)) || recorder->count(t * 1000 + i) == 1;
          if (accepted && !decided) ++undecided;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(undecided.load(), 0);
}

}  // namespace
}  // namespace qel::engine
