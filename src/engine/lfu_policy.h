// The LFU policy: TinyLFU admission against the cost budget,
// sampled-LFU eviction, the access ring of per-thread read batches, and the
// policy thread that applies those batches to the frequency record.
//
// LFUPolicy is shared by caller threads (push), the engine's processor (add,
// remove, clear) and its own policy thread; one mutex, the policy lock,
// guards the frequency record and the ledger, and no other lock is taken
// under it. RingStripe is safe from any thread: each stripe has its own
// mutex, never held while pushing a batch.
#pragma once

#include <cassert>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/mutex.h"
#include "engine/channel.h"
#include "engine/engine_error.h"
#include "engine/sketch.h"
#include "engine/table.h"

namespace qel::engine {

struct PolicyPair {
  uint64_t key;
  int64_t cost;
  bool operator==(const PolicyPair&) const = default;
};

struct AddOutcome {
  enum class Kind { Added, CostUpdated, TooLarge, Rejected };
  Kind kind;
  std::vector<PolicyPair> victims;  // in eviction order (Added and Rejected)
};

// The cost ledger of resident keys. Keys are kept in a dense table so that
// sampling draws uniformly in constant time per draw.
class SampledLFU {
 public:
  SampledLFU(size_t samples, int64_t max_cost) : samples_(samples), max_cost_(max_cost) {}

  std::optional<int64_t> cost_of(uint64_t key) const;
  void insert(uint64_t key, int64_t cost);       // key not resident
  void set_cost(uint64_t key, int64_t cost);     // key resident
  std::optional<int64_t> remove(uint64_t key);   // the stored cost, when resident
  // Tops `candidates` up to `samples` entries drawn uniformly without
  // replacement among the resident keys not already listed.
  void fill_sample(std::vector<PolicyPair>& candidates) const;
  // Overflow-free: `cost` fits beside what is used.
  bool has_room(int64_t cost) const { return cost <= max_cost_ - used_; }
  void clear();

  size_t samples() const { return samples_; }
  int64_t max_cost() const { return max_cost_; }
  int64_t used() const { return used_; }
  int64_t peak_used() const { return peak_used_; }
  size_t size() const { return entries_.size(); }

 private:
  // After every change: the budget holds, and `used_` is the sum of the
  // resident costs (none of which is negative).
  void note_used() {
    assert(0 <= used_ && used_ <= max_cost_);
    assert(!entries_.empty() || used_ == 0);
    if (used_ > peak_used_) peak_used_ = used_;
  }

  size_t samples_;
  int64_t max_cost_;
  int64_t used_ = 0;
  int64_t peak_used_ = 0;  // the largest `used` ever reached
  DenseTable<PolicyPair> entries_;
};

// How the frequency record is sized. Fixed: `num_counters` for good.
// FollowEntries: it starts at `num_counters` and, at the end of each sample,
// grows to kCountersPerEntry counters per resident key, up to
// kMaxGrownCounters; it never shrinks.
enum class CounterSizing { Fixed, FollowEntries };

class LFUPolicy {
 public:
  static constexpr size_t kSamples = 5;
  // Measured with bench/hit_ratio, engine alone, 1,000 blobs, Zipf 0.99
  // (OPT 65.1%): 10 counters per key hit 52.4%, 20 54.7%, 50 56.9%, 100 58.7%.
  // 50 is the least that keeps within 10 points of OPT there.
  static constexpr uint64_t kCountersPerEntry = 50;
  // 2^23 counters: 16 MiB of sketch and 16 MiB of doorkeeper, enough to
  // follow about 168,000 keys; past that the record stays this size.
  static constexpr uint64_t kMaxGrownCounters = uint64_t{1} << 23;

  // Builds TinyLFU and the ledger, and starts
  // the policy thread, which is not joined: it ends on stop().
  static EngineResult<std::shared_ptr<LFUPolicy>> create(uint64_t num_counters, int64_t max_cost,
                                                        CounterSizing sizing = CounterSizing::Fixed,
                                                        size_t samples = kSamples);
  ~LFUPolicy();

  AddOutcome add(uint64_t key, int64_t cost);
  // Hands a read batch to the policy thread; gives it back when empty or
  // when the queue is closed.
  std::optional<std::vector<uint64_t>> push(std::vector<uint64_t> batch);
  void remove(uint64_t key);
  void clear();
  // Ends the policy thread: it discards what is still queued.
  void stop();

  // Introspection and direct recording, for tests and the benchmark.
  void record(std::span<const uint64_t> hashes);
  int64_t estimate(uint64_t key) const;
  int64_t used() const;
  int64_t peak_used() const;
  int64_t max_cost() const { return max_cost_; }
  size_t len() const;
  bool contains(uint64_t key) const;
  std::optional<int64_t> cost_of(uint64_t key) const;
  size_t queued_batches() const { return access_.size(); }
  uint64_t applied_batches() const;
  uint64_t counters() const;  // the frequency record's current sample length

 private:
  LFUPolicy(TinyLFU lfu, SampledLFU costs, CounterSizing sizing)
      : max_cost_(costs.max_cost()), sizing_(sizing), lfu_(std::move(lfu)), costs_(std::move(costs)) {}
  static void run(std::shared_ptr<LFUPolicy> self);
  // One recorded read; at the end of a sample the record may grow.
  void count(uint64_t hash) REQUIRES(mutex_);

  const int64_t max_cost_;
  const CounterSizing sizing_;
  mutable Mutex mutex_;  // the policy lock
  TinyLFU lfu_ GUARDED_BY(mutex_);
  SampledLFU costs_ GUARDED_BY(mutex_);
  uint64_t applied_batches_ GUARDED_BY(mutex_) = 0;
  UnboundedQueue<std::vector<uint64_t>> access_;
};

// The access ring: 64 stripes of up to 64 read key hashes, one per thread
// (by its SipHash-1-3 stripe); a full stripe goes to the policy as a batch.
class RingStripe {
 public:
  static constexpr size_t kStripes = 64;
  static constexpr size_t kCapacity = 64;

  explicit RingStripe(std::shared_ptr<LFUPolicy> policy);
  void push(uint64_t hash);

 private:
  struct alignas(128) Stripe {
    Stripe() { hashes.reserve(kCapacity); }
    Mutex mutex;
    std::vector<uint64_t> hashes GUARDED_BY(mutex);
  };
  std::shared_ptr<LFUPolicy> policy_;
  std::unique_ptr<Stripe[]> stripes_;
};

}  // namespace qel::engine
