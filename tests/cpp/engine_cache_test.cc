// The cache front and the processor, single-threaded
// behaviour, callbacks and shutdown.
#include <gtest/gtest.h>

#include <future>
#include <limits>
#include <optional>
#include <tuple>

#include "engine_test_util.h"

namespace qel::engine {
namespace {

using namespace testing;  // the engine suites' helpers
using Kind = CacheError::Kind;

TEST(CacheCreate, BadSettingsAreErrorsNotCrashes) {
  const std::vector<std::tuple<int64_t, int64_t, Kind>> cases = {
      {0, 10, Kind::InvalidNumCounters},
      {10, 0, Kind::InvalidMaxCost},
      {-1, 10, Kind::InvalidNumCounters},
      {10, -1, Kind::InvalidMaxCost},
      {200'000'000'000, 10, Kind::InvalidNumCounters},  // a doorkeeper over 2^40 bits
      {std::numeric_limits<int64_t>::max(), 10, Kind::InvalidNumCounters},
  };
  for (const auto& [counters, max_cost, kind] : cases) {
    auto refused = TestCache::create({.num_counters = counters, .max_cost = max_cost}, {});
    ASSERT_FALSE(refused) << counters << " " << max_cost;
    EXPECT_EQ(refused.error().kind(), kind) << refused.error().to_string();
  }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // More than the machine can map: an error (or, given the memory, built).
  auto big = TestCache::create({.num_counters = 100'000'000'000, .max_cost = 10}, {});
  EXPECT_TRUE(big || big.error().kind() == Kind::InvalidNumCounters);
#endif
}

TEST(Cache, InsertGetRemoveAndClear) {
  auto recorder = std::make_shared<Recorder>();
  TestCache cache = make_cache(100, recorder, 1);  // one counter: a sketch of width 2

  EXPECT_FALSE(cache.get("k"));
  ASSERT_TRUE(cache.try_insert("k", make_value(1, "k", 10), 10).value());
  EXPECT_EQ((*cache.get("k"))->id, 1);  // readable before the verdict
  EXPECT_FALSE(cache.try_insert("k", make_value(2, "k", 10), 10).value());
  auto z = make_value(3, "z", 37);
  const std::weak_ptr<const Tracked> z_alive = z;
  ASSERT_TRUE(cache.try_insert("z", std::move(z), 0).value());  // cost 0 asks the coster
  ASSERT_TRUE(cache.try_insert("big", make_value(4, "big", 101), 101).value());
  ASSERT_TRUE(cache.wait());
  EXPECT_EQ((*cache.get("k"))->id, 1);
  EXPECT_FALSE(cache.get("big"));
  EXPECT_EQ(cache.stats().used, 47);
  EXPECT_EQ(recorder->seen(), (std::map<int, int>{{4, 1}}));
  // Removal is immediate and silent, also of a write not decided yet.
  EXPECT_TRUE(cache.try_remove("absent"));
  ASSERT_TRUE(cache.try_remove("k"));
  EXPECT_FALSE(cache.get("k"));
  ASSERT_TRUE(cache.try_insert("j", make_value(5, "j", 10), 10).value());
  ASSERT_TRUE(cache.try_remove("j"));
  ASSERT_TRUE(cache.wait());
  EXPECT_EQ(cache.stats().used, 37);
  EXPECT_EQ(cache.stats().admitted, 1u);
  // Clear drops values without a callback and starts a new generation.
  ASSERT_TRUE(cache.clear());
  EXPECT_FALSE(cache.get("z"));
  EXPECT_TRUE(z_alive.expired());
  EXPECT_EQ(cache.stats().used, 0);
  EXPECT_EQ(cache.stats().generation, 1u);
  EXPECT_EQ(recorder->seen().size(), 1u);
}

TEST(Cache, StripeThatNeverFillsIsDrainedByTheTicker) {
  auto recorder = std::make_shared<Recorder>();
  TestCache cache = make_cache(100, recorder);
  ASSERT_TRUE(cache.try_insert("slow", make_value(1, "slow", 10), 10).value());
  EXPECT_TRUE(eventually([&] { return cache.policy().contains(cache.key_hash("slow")); }));
}

TEST(Cache, CallbacksCannotWaitOrClearAndTheirFailuresAreLogged) {
  auto lines = std::make_shared<std::vector<std::string>>();  // outlives the test if it fails early
  set_log_hook([lines](LogLevel level, std::string_view line) {
    if (level == LogLevel::Error) lines->emplace_back(line);  // only the processor logs here
  });
  const TestCache* self = nullptr;  // set before the first write reaches the processor
  std::promise<std::vector<std::string>> texts;
  auto text = [](const CacheResult<void>& result) { return result ? "ok" : result.error().to_string(); };
  TestCache cache = make_cache(10, std::make_shared<Recorder>(), 1000, [&](const RemovedItem<Value>&) {
    // A removal from a callback takes the in-thread path.
    texts.set_value({text(self->wait()), text(self->clear()), text(self->try_remove("other"))});
    throw std::runtime_error("boom");
  });
  self = &cache;
  ASSERT_TRUE(cache.try_insert("other", make_value(1, "other", 5), 5).value());
  ASSERT_TRUE(cache.try_insert("big", make_value(2, "big", 50), 50).value());
  ASSERT_TRUE(cache.wait());  // the processor outlived the throw
  set_log_hook({});
  const std::string tail = " cannot be called from a CacheCallback: it would wait on the processor thread that is "
                           "currently running the callback";
  EXPECT_EQ(texts.get_future().get(),
            (std::vector<std::string>{"channel error: wait()" + tail, "channel error: clear()" + tail, "ok"}));
  EXPECT_EQ(*lines, std::vector<std::string>{"removal callback failed: boom"});
  EXPECT_FALSE(cache.get("other"));
  EXPECT_EQ(cache.stats().admitted, 0u);
}

TEST(Cache, LastHandleReleasedInsideACallback) {
  auto recorder = std::make_shared<Recorder>();
  auto released = std::make_shared<std::promise<bool>>();
  std::promise<TestCache> handoff;  // given the last handle once the test's own is gone
  auto last = std::make_shared<std::future<TestCache>>(handoff.get_future());
  const std::weak_ptr<std::future<TestCache>> hooks_alive = last;  // the hooks hold the only other reference
  std::optional<TestCache> spare;
  {
    TestCache cache = make_cache(10, recorder, 1000, [last, released](const RemovedItem<Value>&) {
      if (!last->valid()) return;
      std::optional<TestCache> taken(last->get());
      const bool on_processor = !taken->wait();
      taken.reset();
      released->set_value(on_processor);
    });
    spare.emplace(cache);
    // One full batch from one thread: 64 over-budget writes.
    for (int i = 0; i < 64; ++i) {
      ASSERT_TRUE(cache.try_insert("x" + std::to_string(i), make_value(i, "x", 50), 50).value());
    }
  }
  handoff.set_value(std::move(*spare));
  spare.reset();
  last.reset();
  EXPECT_TRUE(released->get_future().get());
  // The processor ends by itself and frees the engine with its hooks.
  EXPECT_TRUE(eventually([&] { return hooks_alive.expired(); }));
  expect_each_reported_once(*recorder);
}

TEST(Cache, CloseDecidesStripesAndUndoesTheQueue) {
  auto recorder = std::make_shared<Recorder>();
  std::vector<std::weak_ptr<const Tracked>> values;
  {
    // Writes left in stripes are decided before the processor stops.
    TestCache cache = make_cache(100, recorder);
    for (int i = 0; i < 10; ++i) {
      auto value = make_value(i, "s" + std::to_string(i), i < 5 ? 10 : 500);  // five are over budget
      values.push_back(value);
      ASSERT_TRUE(cache.try_insert(value->key, value, value->cost).value());
    }
  }
  for (int i = 0; i < 10; ++i) EXPECT_EQ(recorder->count(i), i < 5 ? 0 : 1) << i;
  values.resize(10 + 4 * 640);
  {
    // Full batches may still be queued: undone without a callback.
    TestCache cache = make_cache(2000, recorder);
    std::vector<std::thread> writers;
    for (int t = 1; t <= 4; ++t) {
      writers.emplace_back([&, t] {
        for (int i = 0; i < 640; ++i) {
          auto value = make_value(t * 1000 + i, "q" + std::to_string(t * 1000 + i), 1 + i % 50);
          values[10 + (t - 1) * 640 + i] = value;  // after the ten above
          static_cast<void>(cache.try_insert(value->key, value, value->cost));
        }
      });
    }
    for (auto& writer : writers) writer.join();
  }
  expect_each_reported_once(*recorder);
  for (const auto& value : values) EXPECT_TRUE(value.expired());
}

}  // namespace
}  // namespace qel::engine
