// Shared helpers of the engine suites: tracked values and a recording
// removal callback.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/cache.h"

namespace qel::engine::testing {

struct Tracked {
  int id;
  std::string key;
  int64_t cost;
};
using Value = std::shared_ptr<const Tracked>;
using TestCache = Cache<Value>;

inline Value make_value(int id, std::string key, int64_t cost) {
  return std::make_shared<const Tracked>(Tracked{id, std::move(key), cost});
}

// Counts how often each value id reached the removal callback.
class Recorder {
 public:
  void record(const RemovedItem<Value>& item) {
    std::lock_guard lock(mutex_);
    ++seen_[item.value->id];
    order_.push_back(item.value->id);
    costs_.push_back(item.cost);
  }
  int count(int id) const {
    std::lock_guard lock(mutex_);
    auto found = seen_.find(id);
    return found == seen_.end() ? 0 : found->second;
  }
  size_t total() const {
    std::lock_guard lock(mutex_);
    return order_.size();
  }
  std::vector<int> order() const {
    std::lock_guard lock(mutex_);
    return order_;
  }
  std::map<int, int> seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<int, int> seen_;
  std::vector<int> order_;
  std::vector<int64_t> costs_;
};

inline CacheHooks<Value> recording_hooks(std::shared_ptr<Recorder> recorder,
                                         std::function<void(const RemovedItem<Value>&)> also = {}) {
  return CacheHooks<Value>{
      .coster = [](const Value& value) { return value->cost; },
      .should_update = [](const Value&, const Value&) { return false; },
      .on_removal =
          [recorder, also](RemovedItem<Value> item) {
            recorder->record(item);
            if (also) also(item);
          },
  };
}

inline TestCache make_cache(int64_t max_cost, std::shared_ptr<Recorder> recorder, int64_t counters = 1000,
                            std::function<void(const RemovedItem<Value>&)> also = {}) {
  auto cache = TestCache::create({.num_counters = counters, .max_cost = max_cost}, recording_hooks(recorder, also));
  if (!cache) throw std::runtime_error(cache.error().to_string());
  return std::move(cache).value();
}

template <class Predicate>
bool eventually(Predicate&& predicate, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace qel::engine::testing
