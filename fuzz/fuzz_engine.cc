// Drives the engine's public operations from a byte stream. Input: a budget
// byte, then operations of three bytes each: op, key, cost.
//   op % 5: 0 get, 1 insert, 2 remove, 3 wait, 4 clear
//   key % 16 picks one of 16 keys; cost % 20 (0 lets the coster decide)
// Checked throughout: a read returns only a value stored under its own key,
// nothing reaches the removal callback twice or after it was read back as
// held, and the budget holds after every wait.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "engine/admission_engine.h"

namespace {

using namespace qel::engine;

struct Tracked {
  uint64_t id;
  std::string key;
  int64_t cost;
};
using Value = std::shared_ptr<const Tracked>;

void require(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "invariant violated: %s\n", what);
    abort();
  }
}

struct Removed {
  std::mutex mutex;
  std::set<uint64_t> ids;
  bool saw(uint64_t id) {
    std::lock_guard lock(mutex);
    return ids.contains(id);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int64_t budget = data[0] % 32 + 1;
  auto removed = std::make_shared<Removed>();
  EngineHooks<Value> hooks{
      .coster = [](const Value& value) { return value->cost; },
      .on_removal =
          [removed](RemovedItem<Value> item) {
            std::lock_guard lock(removed->mutex);
            require(removed->ids.insert(item.value->id).second, "a value reached the callback twice");
          },
  };
  auto created = AdmissionEngine<Value>::create({.num_counters = 64, .max_cost = budget}, std::move(hooks));
  require(created.has_value(), "a valid engine could not be built");
  AdmissionEngine<Value> cache = std::move(created).value();

  uint64_t next_id = 1;
  for (size_t at = 1; at + 3 <= size; at += 3) {
    const std::string key = "k" + std::to_string(data[at + 1] % 16);
    const int64_t cost = data[at + 2] % 20;
    switch (data[at] % 5) {
      case 0:
        if (auto held = cache.get(key)) {
          require((*held)->key == key, "a read returned another key's value");
          require(!removed->saw((*held)->id), "a removed value was read back");
        }
        break;
      case 1: {
        const uint64_t id = next_id++;
        auto value = std::make_shared<const Tracked>(Tracked{id, key, cost == 0 ? static_cast<int64_t>(1 + id % 4) : cost});
        require(cache.try_insert(key, value, cost).has_value(), "insert failed on an open engine");
        break;
      }
      case 2:
        require(cache.try_remove(key).has_value(), "remove failed on an open engine");
        break;
      case 3: {
        require(cache.wait().has_value(), "wait failed on an open engine");
        const EngineStats stats = cache.stats();
        require(stats.used <= budget && stats.peak_used <= budget, "the budget was exceeded");
        require(stats.stored == stats.admitted, "a decided write is neither held nor let go");
        break;
      }
      case 4:
        require(cache.clear().has_value(), "clear failed on an open engine");
        require(cache.stats().used == 0 && cache.stats().stored == 0, "clear left something behind");
        break;
    }
  }
  return 0;
}
