// Shared helpers of the engine suites: counted values, a recording removal
// callback and a cache wired to it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/admission_engine.h"

namespace qel::engine::testing {

struct Tracked {
  int id;
  std::string key;
  int64_t cost;
};
using Value = std::shared_ptr<const Tracked>;
using TestEngine = AdmissionEngine<Value>;
using Callback = std::function<void(const RemovedItem<Value>&)>;

// Values made and not yet freed, so a test can see that nothing leaked.
inline std::atomic<int> live_values{0};

inline Value make_value(int id, std::string key, int64_t cost) {
  ++live_values;
  return Value(new Tracked{id, std::move(key), cost}, [](const Tracked* value) {
    --live_values;
    delete value;
  });
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

 private:
  mutable std::mutex mutex_;
  std::map<int, int> seen_;
};

inline TestEngine make_engine(int64_t max_cost, std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>(),
                            int64_t counters = 1000, Callback also = {},
                            CounterSizing sizing = CounterSizing::Fixed) {
  EngineHooks<Value> hooks{.coster = [](const Value& value) { return value->cost; },
                          .on_removal = [recorder, also](RemovedItem<Value> item) {
                            recorder->record(item.value->id);
                            if (also) also(item);
                          }};
  auto cache = TestEngine::create({.num_counters = counters, .max_cost = max_cost, .sizing = sizing}, std::move(hooks));
  if (!cache) throw std::runtime_error(cache.error().to_string());
  return std::move(cache).value();
}

// Offers a fresh value; true when the write was accepted.
inline bool put(const TestEngine& cache, int id, const std::string& key, int64_t cost) {
  return cache.try_insert(key, make_value(id, key, cost), cost).value();
}

// Every id the callback saw, seen exactly once.
inline void expect_each_reported_once(const Recorder& recorder) {
  for (const auto& [id, times] : recorder.seen()) EXPECT_EQ(times, 1) << id;
}

// Runs body(0) .. body(count - 1) on threads of their own and joins them.
inline void on_threads(int count, const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) threads.emplace_back(body, t);
  for (auto& thread : threads) thread.join();
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
