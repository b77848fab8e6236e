// The cache front and the processor: single-threaded behaviour, callbacks
// and shutdown; then under several threads: accounting, exactly-once
// callbacks, clear racing with inserts, and wait covering writes that another
// thread took out of a shared stripe.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <tuple>

#include "engine_test_util.h"

namespace qel::engine {
namespace {

using namespace testing;  // the engine suites' helpers
using Kind = EngineError::Kind;

TEST(AdmissionEngineCreate, BadSettingsAreErrorsNotCrashes) {
  const std::vector<std::tuple<int64_t, int64_t, Kind>> cases = {
      {0, 10, Kind::InvalidNumCounters},
      {10, 0, Kind::InvalidMaxCost},
      {-1, 10, Kind::InvalidNumCounters},
      {10, -1, Kind::InvalidMaxCost},
      {std::numeric_limits<int64_t>::max(), 10, Kind::InvalidNumCounters},
  };
  for (const auto& [counters, max_cost, kind] : cases) {
    auto refused = TestEngine::create({.num_counters = counters, .max_cost = max_cost}, {});
    ASSERT_FALSE(refused) << counters << " " << max_cost;
    EXPECT_EQ(refused.error().kind(), kind) << refused.error().to_string();
  }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // About 400 GB, more than any machine that runs these maps: memory
  // refused is named as such.
  auto big = TestEngine::create({.num_counters = 100'000'000'000, .max_cost = 10}, {});
  ASSERT_FALSE(big);
  EXPECT_EQ(big.error().kind(), Kind::OutOfMemory);
  EXPECT_EQ(big.error().to_string().rfind("out of memory: cannot allocate a ", 0), 0u) << big.error().to_string();
#endif
}

TEST(AdmissionEngine, InsertGetRemoveAndClear) {
  auto recorder = std::make_shared<Recorder>();
  TestEngine cache = make_engine(100, recorder, 1);  // one counter: a sketch of width 2

  EXPECT_FALSE(cache.get("k"));
  ASSERT_TRUE(put(cache, 1, "k", 10));
  EXPECT_EQ((*cache.get("k"))->id, 1);  // readable before the verdict
  // A stripe that never fills is drained by the ticker.
  EXPECT_TRUE(eventually([&] { return cache.policy().contains(cache.key_hash("k")); }));
  EXPECT_EQ((*cache.peek("k"))->id, 1);
  EXPECT_FALSE(cache.peek("absent"));
  EXPECT_FALSE(put(cache, 2, "k", 10));
  ASSERT_TRUE(cache.try_insert("z", make_value(3, "z", 37), 0).value());  // cost 0 asks the coster
  ASSERT_TRUE(put(cache, 4, "big", 101));
  ASSERT_TRUE(cache.wait());
  EXPECT_EQ((*cache.get("k"))->id, 1);
  EXPECT_FALSE(cache.get("big"));
  EXPECT_EQ(cache.stats().used, 47);
  EXPECT_EQ(recorder->seen(), (std::map<int, int>{{4, 1}}));
  // Removal is immediate and silent, also of a write not decided yet.
  EXPECT_TRUE(cache.try_remove("absent"));
  ASSERT_TRUE(cache.try_remove("k"));
  EXPECT_FALSE(cache.get("k"));
  ASSERT_TRUE(put(cache, 5, "j", 10));
  ASSERT_TRUE(cache.try_remove("j"));
  ASSERT_TRUE(cache.wait());
  EXPECT_EQ(cache.stats().used, 37);
  EXPECT_EQ(cache.stats().admitted, 1u);
  // Clear drops values without a callback and starts a new generation.
  ASSERT_TRUE(cache.clear());
  EXPECT_EQ(live_values, 0);  // "z" too
  EXPECT_EQ(cache.stats().used, 0);
  EXPECT_EQ(cache.stats().generation, 1u);
  EXPECT_EQ(recorder->seen().size(), 1u);
}

TEST(AdmissionEngine, CallbacksCannotWaitOrClearAndTheirFailuresAreLogged) {
  auto lines = std::make_shared<std::vector<std::string>>();  // outlives the test if it fails early
  set_log_hook([lines](LogLevel level, std::string_view line) {
    if (level == LogLevel::Error) lines->emplace_back(line);  // only the processor logs here
  });
  const TestEngine* self = nullptr;  // set before the first write reaches the processor
  std::promise<std::vector<std::string>> texts;
  auto text = [](const EngineResult<void>& result) { return result ? "ok" : result.error().to_string(); };
  TestEngine cache = make_engine(10, std::make_shared<Recorder>(), 1000, [&](const RemovedItem<Value>&) {
    // A removal from a callback takes the in-thread path.
    texts.set_value({text(self->wait()), text(self->clear()), text(self->try_remove("other"))});
    throw std::runtime_error("boom");
  });
  self = &cache;
  ASSERT_TRUE(put(cache, 1, "other", 5));
  ASSERT_TRUE(put(cache, 2, "big", 50));
  ASSERT_TRUE(cache.wait());  // the processor outlived the throw
  set_log_hook({});
  const std::string tail = " cannot be called from a removal callback: it would wait on the processor thread that is "
                           "currently running the callback";
  EXPECT_EQ(texts.get_future().get(),
            (std::vector<std::string>{"channel error: wait()" + tail, "channel error: clear()" + tail, "ok"}));
  EXPECT_EQ(*lines, std::vector<std::string>{"removal callback failed: boom"});
  EXPECT_FALSE(cache.get("other"));
  EXPECT_EQ(cache.stats().admitted, 0u);
}

TEST(AdmissionEngine, LastHandleReleasedInsideACallback) {
  auto recorder = std::make_shared<Recorder>();
  auto released = std::make_shared<std::promise<bool>>();
  std::promise<TestEngine> handoff;  // given the last handle once the test's own is gone
  auto last = std::make_shared<std::future<TestEngine>>(handoff.get_future());
  const std::weak_ptr<std::future<TestEngine>> hooks_alive = last;  // the hooks hold the only other reference
  TestEngine cache = make_engine(10, recorder, 1000, [last, released](const RemovedItem<Value>&) {
    if (!last->valid()) return;
    // A unique_ptr rather than an optional: GCC 12 under -fsanitize=thread
    // warns that the optional's shared_ptr may be used uninitialised.
    auto taken = std::make_unique<TestEngine>(last->get());
    const bool on_processor = !taken->wait();
    taken.reset();
    released->set_value(on_processor);
  });
  // One full batch from one thread: 64 over-budget writes.
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(put(cache, i, "x" + std::to_string(i), 50));
  handoff.set_value(std::move(cache));
  last.reset();
  EXPECT_TRUE(released->get_future().get());
  // The processor ends by itself and frees the engine with its hooks.
  EXPECT_TRUE(eventually([&] { return hooks_alive.expired(); }));
  expect_each_reported_once(*recorder);
}

TEST(AdmissionEngine, CloseDecidesStripesAndUndoesTheQueue) {
  auto recorder = std::make_shared<Recorder>();
  {
    // Writes left in stripes are decided before the processor stops.
    TestEngine cache = make_engine(100, recorder);
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(put(cache, i, "s" + std::to_string(i), i < 5 ? 10 : 500));
  }
  EXPECT_EQ(recorder->seen(), (std::map<int, int>{{5, 1}, {6, 1}, {7, 1}, {8, 1}, {9, 1}}));  // over budget
  {
    // Full batches may still be queued: undone without a callback.
    TestEngine cache = make_engine(2000, recorder);
    on_threads(4, [&](int t) {
      const int first = (t + 1) * 1000;  // clear of the ids above
      for (int id = first; id < first + 640; ++id) put(cache, id, "q" + std::to_string(id), 1 + id % 50);
    });
  }
  expect_each_reported_once(*recorder);
  EXPECT_EQ(live_values, 0);
}

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
