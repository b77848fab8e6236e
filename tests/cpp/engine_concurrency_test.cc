// The engine under several threads: accounting, exactly-once callbacks,
// clear racing with inserts, and wait covering writes that another thread
// took out of a shared stripe.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <random>
#include <set>
#include <unordered_map>

#include "engine_test_util.h"

namespace qel::engine {
namespace {

using testing::make_cache;
using testing::make_value;
using testing::Recorder;
using testing::TestCache;

constexpr int kKeys = 400;

std::string key_of(int k) { return "key-" + std::to_string(k); }

// Sums what the store holds now (every key probed); the ids held.
struct Held {
  int64_t cost = 0;
  std::set<int> ids;
};
Held held_values(const TestCache& cache, int keys) {
  Held held;
  for (int k = 0; k < keys; ++k) {
    if (auto value = cache.get(key_of(k))) {
      EXPECT_EQ((*value)->key, key_of(k));
      held.cost += (*value)->cost;
      held.ids.insert((*value)->id);
    }
  }
  return held;
}

TEST(EngineConcurrency, WritersAndReadersKeepTheAccounting) {
  auto recorder = std::make_shared<Recorder>();
  const int64_t budget = 20'000;
  TestCache cache = make_cache(budget, recorder, 4000);
  std::mutex accepted_mutex;
  std::vector<int> accepted;
  std::atomic<bool> stop_readers{false};
  std::vector<std::thread> threads;
  constexpr int kWriters = 4;
  constexpr int kWrites = 3000;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      std::mt19937 random(w);
      std::vector<int> mine;
      for (int i = 0; i < kWrites; ++i) {
        const int id = w * kWrites + i;
        const int k = static_cast<int>(random() % kKeys);
        const int64_t cost = 1 + static_cast<int64_t>(random() % 400);
        auto inserted = cache.try_insert(key_of(k), make_value(id, key_of(k), cost), cost);
        ASSERT_TRUE(inserted);
        if (*inserted) mine.push_back(id);
        if (i % 500 == 0) {
          ASSERT_TRUE(cache.wait());
        }
      }
      std::lock_guard lock(accepted_mutex);
      accepted.insert(accepted.end(), mine.begin(), mine.end());
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&, r] {
      std::mt19937 random(100 + r);
      while (!stop_readers.load()) {
        const int k = static_cast<int>(random() % (kKeys / 4));  // a hot quarter
        if (auto value = cache.get(key_of(k))) {
          ASSERT_EQ((*value)->key, key_of(k));
        }
      }
    });
  }
  for (int w = 0; w < kWriters; ++w) threads[w].join();
  stop_readers = true;
  for (size_t t = kWriters; t < threads.size(); ++t) threads[t].join();
  ASSERT_TRUE(cache.wait());

  const auto stats = cache.stats();
  const Held held = held_values(cache, kKeys);
  EXPECT_EQ(held.cost, stats.used);
  EXPECT_EQ(held.ids.size(), stats.admitted);
  EXPECT_EQ(stats.stored, stats.admitted);
  EXPECT_LE(stats.peak_used, budget);
  const auto seen = recorder->seen();
  for (const auto& [id, times] : seen) EXPECT_EQ(times, 1) << id;
  for (const int id : accepted) {
    const bool is_held = held.ids.contains(id);
    const bool reported = seen.contains(id);
    EXPECT_TRUE(is_held != reported) << id << " held " << is_held << " reported " << reported;
  }
  EXPECT_GT(recorder->total(), 0u);
}

TEST(EngineConcurrency, ClearRacingWithInserts) {
  auto recorder = std::make_shared<Recorder>();
  TestCache cache = make_cache(10'000, recorder, 2000);
  std::atomic<bool> writing{true};
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&, w] {
      std::mt19937 random(w);
      for (int i = 0; i < 3000; ++i) {
        const int k = static_cast<int>(random() % kKeys);
        const int64_t cost = 1 + static_cast<int64_t>(random() % 200);
        ASSERT_TRUE(cache.try_insert(key_of(k), make_value(w * 100000 + i, key_of(k), cost), cost));
        if (random() % 16 == 0) {
          ASSERT_TRUE(cache.try_remove(key_of(static_cast<int>(random() % kKeys))));
        }
      }
    });
  }
  std::thread clearer([&] {
    for (int i = 0; i < 15; ++i) {
      ASSERT_TRUE(cache.clear());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  for (auto& writer : writers) writer.join();
  clearer.join();
  writing = false;
  ASSERT_TRUE(cache.wait());
  const auto stats = cache.stats();
  EXPECT_EQ(stats.generation, 15u);
  const Held held = held_values(cache, kKeys);
  EXPECT_EQ(held.cost, stats.used);
  EXPECT_EQ(stats.stored, stats.admitted);
  EXPECT_LE(stats.peak_used, 10'000);
  const auto seen = recorder->seen();
  for (const auto& [id, times] : seen) EXPECT_EQ(times, 1) << id;
  for (const int id : held.ids) EXPECT_FALSE(seen.contains(id)) << id;
  ASSERT_TRUE(cache.clear());
  EXPECT_EQ(held_values(cache, kKeys).ids.size(), 0u);
  EXPECT_EQ(cache.stats().used, 0);
}

// Runs `body` on a thread whose insert stripe is `stripe`, trying new threads
// until one lands there.
std::thread thread_on_stripe(size_t stripe, std::function<void()> body) {
  for (;;) {
    std::promise<bool> landed;
    auto decided = landed.get_future();
    auto go = std::make_shared<std::promise<bool>>();
    std::thread thread([&landed, go, stripe, body] {
      const bool mine = current_thread_stripe(InsertStripeRing::kStripes) == stripe;
      landed.set_value(mine);
      if (mine && go->get_future().get()) body();
    });
    if (decided.get()) {
      go->set_value(true);
      return thread;
    }
    go->set_value(false);
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
  // Thread B writes one item to stripe s; thread A, on the same stripe, fills
  // it and is paused after taking the full batch (with B's item) and before
  // sending it. B's wait must not return until that batch is in the channel.
  auto recorder = std::make_shared<Recorder>();
  TestCache cache = make_cache(1'000'000, recorder);
  const size_t stripe = 17;
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  hook_entered = &entered;
  hook_release = &released;
  hook_calls = 0;

  std::promise<void> b_wrote;
  std::promise<void> a_may_fill;
  std::atomic<bool> b_waited{false};
  std::atomic<bool> b_decided{false};
  std::thread b = thread_on_stripe(stripe, [&] {
    ASSERT_TRUE(cache.try_insert("b-key", make_value(1, "b-key", 10), 10).value());
    b_wrote.set_value();
    a_may_fill.get_future().wait();
    ASSERT_TRUE(cache.wait());
    b_waited = true;
    b_decided = cache.policy().contains(cache.key_hash("b-key"));
  });
  b_wrote.get_future().wait();
  InsertStripeRing::after_take_hook.store(&pausing_hook);
  std::thread a = thread_on_stripe(stripe, [&] {
    for (int i = 0; i < 63; ++i) {
      const std::string key = "a-" + std::to_string(i);
      ASSERT_TRUE(cache.try_insert(key, make_value(100 + i, key, 10), 10).value());
    }
  });
  entered.get_future().wait();  // A holds the full batch, unsent
  a_may_fill.set_value();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(b_waited.load());  // B's wait is held back by the batch in flight
  release.set_value();
  a.join();
  b.join();
  InsertStripeRing::after_take_hook.store(nullptr);
  EXPECT_TRUE(b_waited.load());
  EXPECT_TRUE(b_decided.load());
}

TEST(EngineConcurrency, WaitersAndWritersOnOneStripe) {
  // Probabilistic companion: many writers share stripes with waiters; after
  // each wait the waiter's own last write has been decided.
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
