// Hit ratio of qel beside LRU and Belady's optimal policy (OPT) on the same
// traces and budget, at several cache sizes.
//
//   hit_ratio [--quick] [--blobs N] [--accesses N] [--dir D]
//
// --quick replays shorter traces; --blobs runs one cache size instead of
// 1,000, 10,000 and 100,000 blobs; --accesses sets the trace length (longer
// than the benchmark can afford at 100,000 blobs); --dir is where the real path's cache
// directory goes (default /dev/shm, a tmpfs, where fsync costs next to
// nothing: the writes are the real ones, only the disk is not).
//
// Two figures for qel, both with the blob cache's default settings
// (frequency_counters 0):
// - "qel": the real path, as a user drives it: BlobCache::get, and on a miss
//   BlobCache::put, over a cache directory. Every blob ID has the same length
//   and every payload the same bytes, so every blob file has the same length
//   and the budget holds exactly N of them: unit costs.
// - "engine": the admission and eviction engine alone, driven the way the
//   blob cache drives it (a get counts the access; a miss inserts the key and
//   waits for the processor's verdict before the next access), with cost 1
//   and a budget of N.
//
// Unit costs keep OPT exact (with sizes, the farthest-next-use rule is only
// a heuristic). OPT may decline to keep a missed key whose next use is
// farther away than every resident key's, as qel may decline to admit one.
//
// Prints one table: a row per cache size and trace, the hit ratio of each
// policy.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <list>
#include <queue>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "cache/blob_cache.h"
#include "engine/admission_engine.h"

namespace {

constexpr int64_t kKeysPerBlob = 100;  // the Zipf population, in cache sizes

using Trace = std::vector<uint32_t>;  // key ids; scan keys lie beyond the Zipf population

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

uint32_t population(int64_t capacity) { return static_cast<uint32_t>(kKeysPerBlob * capacity); }

Trace zipf_trace(int64_t capacity, double exponent, size_t length) {
  std::mt19937_64 rng(42);
  const Zipf zipf(population(capacity), exponent);
  Trace trace(length);
  for (auto& key : trace) key = zipf(rng);
  return trace;
}

// Zipf 0.99 in stretches of 20 cache sizes, each followed by a sequential
// scan of 3 cache sizes of keys never seen before or after. A trace too short
// for two such rounds gets shorter stretches and scans, in the same
// proportion, so that it still holds two scans.
Trace scan_trace(int64_t capacity, size_t length) {
  std::mt19937_64 rng(43);
  const Zipf zipf(population(capacity), 0.99);
  const int64_t unit = std::max<int64_t>(1, std::min<int64_t>(capacity, static_cast<int64_t>(length / 46)));
  Trace trace;
  trace.reserve(length);
  uint32_t next_scan_key = population(capacity);
  while (trace.size() < length) {
    for (int64_t i = 0; i < 20 * unit && trace.size() < length; ++i) trace.push_back(zipf(rng));
    for (int64_t i = 0; i < 3 * unit && trace.size() < length; ++i) trace.push_back(next_scan_key++);
  }
  return trace;
}

// The same keys in the same order, round and round, 10% more than fit.
Trace loop_trace(int64_t capacity, size_t length) {
  const auto keys = static_cast<uint32_t>(capacity + capacity / 10);
  Trace trace(length);
  for (size_t i = 0; i < length; ++i) trace[i] = static_cast<uint32_t>(i % keys);
  return trace;
}

double lru(const Trace& trace, int64_t capacity) {
  std::list<uint32_t> order;  // most recent first
  std::unordered_map<uint32_t, std::list<uint32_t>::iterator> where;
  size_t hits = 0;
  for (uint32_t key : trace) {
    if (auto found = where.find(key); found != where.end()) {
      ++hits;
      order.splice(order.begin(), order, found->second);
      continue;
    }
    if (static_cast<int64_t>(where.size()) == capacity) {
      where.erase(order.back());
      order.pop_back();
    }
    order.push_front(key);
    where[key] = order.begin();
  }
  return static_cast<double>(hits) / trace.size();
}

double opt(const Trace& trace, int64_t capacity) {
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
    if (static_cast<int64_t>(resident_until.size()) == capacity) {
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

double engine(const Trace& trace, int64_t capacity) {
  using Engine = qel::engine::AdmissionEngine<uint32_t>;
  auto created = Engine::create({.num_counters = qel::DEFAULT_FREQUENCY_COUNTERS,
                                 .max_cost = capacity,
                                 .sizing = qel::engine::CounterSizing::FollowEntries},
                                {.coster = {}, .on_removal = {}});
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

// Blob IDs of one length, so that every blob file has the same length.
std::string blob_id(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "%010u", id);
  return text;
}

double real_path(const Trace& trace, int64_t capacity, const std::filesystem::path& scratch) {
  namespace fs = std::filesystem;
  static constexpr uint8_t kPayload[8] = {'u', 'n', 'i', 't', 'c', 'o', 's', 't'};
  const auto file_len = static_cast<int64_t>(qel::HEADER_LEN + blob_id(0).size() + sizeof kPayload);
  const fs::path directory = scratch / ("qel-hit-ratio-" + std::to_string(getpid()));
  fs::remove_all(directory);
  size_t hits = 0;
  {
    auto opened = qel::BlobCache::open({directory.string(), capacity * file_len, 0});
    if (!opened) throw std::runtime_error(opened.error().to_string());
    qel::BlobCache& cache = **opened;
    for (uint32_t id : trace) {
      const std::string key = blob_id(id);
      auto got = cache.get(key);
      if (!got) throw std::runtime_error(got.error().to_string());
      if (*got) {
        if ((*got)->size() != sizeof kPayload || std::memcmp((*got)->data(), kPayload, sizeof kPayload) != 0) {
          throw std::runtime_error("wrong payload for " + key);
        }
        ++hits;
        continue;
      }
      if (auto put = cache.put(key, kPayload); !put) throw std::runtime_error(put.error().to_string());
    }
    if (auto closed = cache.close(); !closed) throw std::runtime_error(closed.error().to_string());
  }
  fs::remove_all(directory);
  return static_cast<double>(hits) / trace.size();
}

// Accesses per trace: 200 cache sizes at 1,000 blobs, 50 at 10,000, 4 at
// 100,000, where run time sets the bound (an access costs about 40 us through
// the real path, the engine, LRU and OPT together). So short a trace at
// 100,000 blobs is mostly first reads, which no policy can hit: OPT stays
// close to LRU there.
size_t trace_length(int64_t capacity, bool quick) {
  const size_t full = capacity <= 1000 ? 200'000 : capacity <= 10'000 ? 500'000 : 400'000;
  return quick ? full / 4 : full;
}

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: hit_ratio [--quick] [--blobs N] [--accesses N] [--dir D]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  size_t accesses = 0;  // 0: trace_length's
  std::vector<int64_t> sizes = {1000, 10'000, 100'000};
  std::filesystem::path scratch = "/dev/shm";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--blobs" && i + 1 < argc) {
      char* end = nullptr;
      const long long blobs = std::strtoll(argv[++i], &end, 10);
      if (*end != '\0' || blobs < 1 || blobs > 10'000'000) usage();
      sizes = {blobs};
    } else if (arg == "--accesses" && i + 1 < argc) {
      char* end = nullptr;
      const long long length = std::strtoll(argv[++i], &end, 10);
      if (*end != '\0' || length < 1 || length > 1'000'000'000) usage();
      accesses = static_cast<size_t>(length);
    } else if (arg == "--dir" && i + 1 < argc) {
      scratch = argv[++i];
    } else {
      usage();
    }
  }
  std::printf("unit-cost blobs, frequency_counters 0 (the default), Zipf over %lld times as many IDs as the cache "
              "holds; real path in %s\n\n",
              static_cast<long long>(kKeysPerBlob), scratch.c_str());
  std::printf("%-8s %-16s %9s %8s %8s %8s %8s\n", "blobs", "trace", "accesses", "qel", "engine", "LRU", "OPT");
  std::printf("%-8s %-16s %9s %8s %8s %8s %8s\n", "--------", "----------------", "---------", "--------", "--------",
              "--------", "--------");
  for (const int64_t capacity : sizes) {
    const size_t length = accesses != 0 ? accesses : trace_length(capacity, quick);
    struct Named {
      const char* name;
      Trace trace;
    };
    const Named traces[] = {
        {"zipf-0.8", zipf_trace(capacity, 0.8, length)},
        {"zipf-0.99", zipf_trace(capacity, 0.99, length)},
        {"zipf-1.2", zipf_trace(capacity, 1.2, length)},
        {"zipf-0.99+scan", scan_trace(capacity, length)},
        {"loop-1.1x", loop_trace(capacity, length)},
    };
    for (const Named& t : traces) {
      std::printf("%-8lld %-16s %9zu %7.2f%% %7.2f%% %7.2f%% %7.2f%%\n", static_cast<long long>(capacity), t.name,
                  length, 100 * real_path(t.trace, capacity, scratch), 100 * engine(t.trace, capacity),
                  100 * lru(t.trace, capacity), 100 * opt(t.trace, capacity));
      std::fflush(stdout);
    }
  }
  return 0;
}
