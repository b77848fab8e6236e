// Shared helpers of the engine suites: tracked values and a recording
// removal callback.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "engine/cache.h"

namespace qel::engine::testing {

struct Tracked {
  int id;
  std::string key;
  int64_t cost;
};
using Value = std::shared_ptr<const Tracked>;
using TestCache = Cache<Value>;
using Callback = std::function<void(const RemovedItem<Value>&)>;

inline Value make_value(int id, std::string key, int64_t cost) {
  return std::make_shared<const Tracked>(Tracked{id, std::move(key), cost});
}

// How often each value id reached the removal callback.
class Recorder {
 public:
  void record(int id) {
    std::lock_guard lock(mutex_);
    ++seen_[id];
  }
  std::map<int, int> seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  int count(int id) const { return seen()[id]; }

 private:
  mutable std::mutex mutex_;
  std::map<int, int> seen_;
};

inline TestCache make_cache(int64_t max_cost, std::shared_ptr<Recorder> recorder, int64_t counters = 1000,
                            Callback also = {}) {
  CacheHooks<Value> hooks{.coster = [](const Value& value) { return value->cost; },
                          .should_update = [](const Value&, const Value&) { return false; },
                          .on_removal = [recorder, also](RemovedItem<Value> item) {
                            recorder->record(item.value->id);
                            if (also) also(item);
                          }};
  auto cache = TestCache::create({.num_counters = counters, .max_cost = max_cost}, std::move(hooks));
  if (!cache) throw std::runtime_error(cache.error().to_string());
  return std::move(cache).value();
}

// Every id the callback saw, seen exactly once.
inline void expect_each_reported_once(const Recorder& recorder) {
  for (const auto& [id, times] : recorder.seen()) EXPECT_EQ(times, 1) << id;
}

template <class Predicate>
bool eventually(Predicate&& predicate) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace qel::engine::testing
