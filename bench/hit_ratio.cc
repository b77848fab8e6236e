// Hit ratio of the admission and eviction engine beside LRU and Belady's
// optimal policy (OPT) on the same traces and budget.
//
//   hit_ratio [--quick]     --quick replays shorter traces
//
// Costs are units: every key costs 1 and the budget is a number of items.
// That keeps OPT exact (with sizes, the farthest-next-use rule is only a
// heuristic). OPT may decline to keep a missed key whose next use is farther
// away than every resident key's, as the engine may decline to admit one.
//
// The engine is driven the way the blob cache drives it: every read is a
// get (which counts the access, batched and applied by the policy thread),
// and a miss inserts the key and waits for the processor's verdict before
// the next access, as put does.
//
// Prints one table: a row per trace, the hit ratio of each policy.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <list>
#include <queue>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/cache.h"

namespace {

constexpr int64_t kCapacity = 1000;          // items
constexpr int64_t kCounters = 10 * kCapacity;  // the blob cache's default of 10000
constexpr uint32_t kKeys = 100000;            // the Zipf population

using Trace = std::vector<uint32_t>;  // key ids; scan keys lie beyond kKeys

class Zipf {
 public:
  Zipf(uint32_t keys, double exponent) : cdf_(keys) {
    double sum = 0;
    for (uint32_t rank = 0; rank < keys; ++rank) cdf_[rank] = sum += 1.0 / std::pow(rank + 1.0, exponent);
    for (double& c : cdf_) c /= sum;
  }
  uint32_t operator()(std::mt19937_64& rng) const {
    const double u = std::uniform_real_distribution<double>(0, 1)(rng);
    auto found = std::lower_bound(cdf_.begin(), cdf_.end(), u);
    return static_cast<uint32_t>(std::min<size_t>(found - cdf_.begin(), cdf_.size() - 1));
  }

 private:
  std::vector<double> cdf_;
};

Trace zipf_trace(double exponent, size_t length) {
  std::mt19937_64 rng(42);
  const Zipf zipf(kKeys, exponent);
  Trace trace(length);
  for (auto& key : trace) key = zipf(rng);
  return trace;
}

// Zipf 0.99 in stretches of 20 cache sizes, each followed by a sequential
// scan of 3 cache sizes of keys never seen before or after.
Trace scan_trace(size_t length) {
  std::mt19937_64 rng(43);
  const Zipf zipf(kKeys, 0.99);
  Trace trace;
  trace.reserve(length);
  uint32_t next_scan_key = kKeys;
  while (trace.size() < length) {
    for (int64_t i = 0; i < 20 * kCapacity && trace.size() < length; ++i) trace.push_back(zipf(rng));
    for (int64_t i = 0; i < 3 * kCapacity && trace.size() < length; ++i) trace.push_back(next_scan_key++);
  }
  return trace;
}

// The same keys in the same order, round and round, 10% more than fit.
Trace loop_trace(size_t length) {
  const auto keys = static_cast<uint32_t>(kCapacity + kCapacity / 10);
  Trace trace(length);
  for (size_t i = 0; i < length; ++i) trace[i] = static_cast<uint32_t>(i % keys);
  return trace;
}

double lru(const Trace& trace) {
  std::list<uint32_t> order;  // most recent first
  std::unordered_map<uint32_t, std::list<uint32_t>::iterator> where;
  size_t hits = 0;
  for (uint32_t key : trace) {
    if (auto found = where.find(key); found != where.end()) {
      ++hits;
      order.splice(order.begin(), order, found->second);
      continue;
    }
    if (static_cast<int64_t>(where.size()) == kCapacity) {
      where.erase(order.back());
      order.pop_back();
    }
    order.push_front(key);
    where[key] = order.begin();
  }
  return static_cast<double>(hits) / trace.size();
}

double opt(const Trace& trace) {
  constexpr size_t kNever = std::numeric_limits<size_t>::max();
  std::vector<size_t> next_use(trace.size());
  std::unordered_map<uint32_t, size_t> seen_at;
  for (size_t i = trace.size(); i-- > 0;) {
    auto [found, fresh] = seen_at.try_emplace(trace[i], kNever);
    next_use[i] = found->second;
    found->second = i;
  }
  // Resident keys by next use, farthest on top; an entry is current while
  // it matches `resident_until` (older ones are skipped when they surface).
  std::priority_queue<std::pair<size_t, uint32_t>> farthest;
  std::unordered_map<uint32_t, size_t> resident_until;
  size_t hits = 0;
  for (size_t i = 0; i < trace.size(); ++i) {
    const uint32_t key = trace[i];
    auto found = resident_until.find(key);
    if (found != resident_until.end()) {
      ++hits;
      found->second = next_use[i];
      farthest.emplace(next_use[i], key);
      continue;
    }
    if (next_use[i] == kNever) continue;
    if (static_cast<int64_t>(resident_until.size()) == kCapacity) {
      for (;;) {
        auto top = resident_until.find(farthest.top().second);
        if (top != resident_until.end() && top->second == farthest.top().first) break;
        farthest.pop();
      }
      if (farthest.top().first < next_use[i]) continue;  // every resident key is needed sooner
      resident_until.erase(farthest.top().second);
      farthest.pop();
    }
    resident_until.emplace(key, next_use[i]);
    farthest.emplace(next_use[i], key);
  }
  return static_cast<double>(hits) / trace.size();
}

double engine(const Trace& trace) {
  using Engine = qel::engine::Cache<uint32_t>;
  auto created = Engine::create({.num_counters = kCounters, .max_cost = kCapacity},
                                {.coster = {}, .should_update = [](uint32_t, uint32_t) { return false; }, .on_removal = {}});
  if (!created) throw std::runtime_error(created.error().to_string());
  const Engine& cache = *created;
  size_t hits = 0;
  std::string key;
  for (uint32_t id : trace) {
    key = std::to_string(id);
    if (cache.get(key)) {
      ++hits;
      continue;
    }
    if (auto accepted = cache.try_insert(key, id, 1); !accepted) throw std::runtime_error(accepted.error().to_string());
    if (auto waited = cache.wait(); !waited) throw std::runtime_error(waited.error().to_string());
  }
  return static_cast<double>(hits) / trace.size();
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc == 2 && std::strcmp(argv[1], "--quick") == 0;
  if (argc > 2 || (argc == 2 && !quick)) {
    std::fprintf(stderr, "usage: hit_ratio [--quick]\n");
    return 2;
  }
  const size_t length = quick ? 200000 : 1000000;
  struct Named {
    const char* name;
    Trace trace;
  };
  const Named traces[] = {
      {"zipf-0.8", zipf_trace(0.8, length)},
      {"zipf-0.99", zipf_trace(0.99, length)},
      {"zipf-1.2", zipf_trace(1.2, length)},
      {"zipf-0.99+scan", scan_trace(length)},
      {"loop-1.1x", loop_trace(length)},
  };
  std::printf("cache of %lld unit-cost items, %lld frequency counters, %zu accesses per trace, %u Zipf keys\n\n",
              static_cast<long long>(kCapacity), static_cast<long long>(kCounters), length, kKeys);
  std::printf("%-16s %8s %8s %8s\n", "trace", "qel", "LRU", "OPT");
  std::printf("%-16s %8s %8s %8s\n", "----------------", "--------", "--------", "--------");
  for (const Named& t : traces) {
    std::printf("%-16s %7.2f%% %7.2f%% %7.2f%%\n", t.name, 100 * engine(t.trace), 100 * lru(t.trace),
                100 * opt(t.trace));
    std::fflush(stdout);
  }
  return 0;
}
