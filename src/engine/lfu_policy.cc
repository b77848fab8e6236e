#include "engine/lfu_policy.h"

#include <algorithm>
#include <cassert>
#include <limits>
#include <system_error>
#include <thread>

#include "engine/hash.h"
#include "engine/log.h"

namespace qel::engine {

// SampledLFU -----------------------------------------------------------------

std::optional<int64_t> SampledLFU::cost_of(uint64_t key) const {
  const PolicyPair* entry = entries_.find(key);
  if (entry == nullptr) return std::nullopt;
  return entry->cost;
}

void SampledLFU::insert(uint64_t key, int64_t cost) {
  assert(cost >= 0);
  entries_.insert({key, cost});
  used_ += cost;
  note_used();
}

void SampledLFU::set_cost(uint64_t key, int64_t cost) {
  PolicyPair* entry = entries_.find(key);
  assert(entry != nullptr && cost >= 0);
  used_ += cost - entry->cost;
  entry->cost = cost;
  note_used();
}

std::optional<int64_t> SampledLFU::remove(uint64_t key) {
  const auto removed = entries_.remove(key);
  if (!removed) return std::nullopt;
  used_ -= removed->cost;
  note_used();
  return removed->cost;
}

void SampledLFU::fill_sample(std::vector<PolicyPair>& candidates) const {
  if (candidates.size() >= samples_) return;
  auto listed = [&](uint64_t key) {
    return std::any_of(candidates.begin(), candidates.end(), [&](const PolicyPair& pair) { return pair.key == key; });
  };
  const size_t wanted = samples_ - candidates.size();
  if (entries_.size() <= samples_ * 2) {
    // Few residents: take the unlisted ones in a random rotation.
    const size_t start = entries_.empty() ? 0 : thread_random_u64() % entries_.size();
    for (size_t i = 0; i < entries_.size() && candidates.size() < samples_; ++i) {
      const PolicyPair& entry = entries_.records()[(start + i) % entries_.size()];
      if (!listed(entry.key)) candidates.push_back(entry);
    }
    return;
  }
  // Many residents: uniform draws, redrawing keys already listed.
  for (size_t drawn = 0; drawn < wanted;) {
    const PolicyPair& entry = entries_.records()[thread_random_u64() % entries_.size()];
    if (listed(entry.key)) continue;
    candidates.push_back(entry);
    ++drawn;
  }
}

void SampledLFU::clear() {
  entries_.take_all();
  used_ = 0;
}

// LFUPolicy ------------------------------------------------------------------

EngineResult<std::shared_ptr<LFUPolicy>> LFUPolicy::create(uint64_t num_counters, int64_t max_cost,
                                                          CounterSizing sizing, size_t samples) {
  if (samples == 0) return unexpected(EngineError::invalid_samples(samples));
  auto lfu = TinyLFU::create(num_counters, num_counters);
  if (!lfu) return unexpected(std::move(lfu).error());
  std::shared_ptr<LFUPolicy> policy;
  try {
    policy.reset(new LFUPolicy(std::move(*lfu), SampledLFU(samples, max_cost), sizing));
    std::thread(run, policy).detach();
  } catch (const std::bad_alloc&) {
    return unexpected(EngineError::out_of_memory("the policy"));
  } catch (const std::system_error& error) {
    return unexpected(EngineError::channel_error(std::string("fail to start the policy thread: ") + error.what()));
  }
  return policy;
}

LFUPolicy::~LFUPolicy() = default;

void LFUPolicy::run(std::shared_ptr<LFUPolicy> self) {
  while (auto batch = self->access_.recv()) {
    MutexLock lock(self->mutex_);
    for (const uint64_t hash : *batch) self->count(hash);
    ++self->applied_batches_;
  }
}

void LFUPolicy::count(uint64_t hash) {
  if (!lfu_.increment(hash) || sizing_ != CounterSizing::FollowEntries) return;
  // Growing only when a sample ends loses nothing: the doorkeeper has just
  // been emptied and the widened sketch reads as the old one did. Memory
  // refused leaves the record as it was, to grow at a later sample.
  const uint64_t wanted = std::min<uint64_t>(kCountersPerEntry * costs_.size(), kMaxGrownCounters);
  if (wanted > lfu_.reset_at()) lfu_.grow(wanted);
}

AddOutcome LFUPolicy::add(uint64_t key, int64_t cost) {
  MutexLock lock(mutex_);
  if (cost < 0 || cost > max_cost_) return {AddOutcome::Kind::TooLarge, {}};
  if (const auto stored = costs_.cost_of(key)) {
    // Overflow-free: a cost that grows beyond the room left is admitted
    // afresh below, so the budget holds even then.
    if (cost <= *stored || cost - *stored <= max_cost_ - costs_.used()) {
      costs_.set_cost(key, cost);
      return {AddOutcome::Kind::CostUpdated, {}};
    }
    costs_.remove(key);
  }
  if (costs_.has_room(cost)) {
    costs_.insert(key, cost);
    return {AddOutcome::Kind::Added, {}};
  }
  const int64_t incoming = lfu_.estimate(key);
  std::vector<PolicyPair> candidates;
  candidates.reserve(costs_.samples());
  std::vector<PolicyPair> victims;
  while (!costs_.has_room(cost)) {
    costs_.fill_sample(candidates);
    size_t weakest = 0;
    int64_t minimum = std::numeric_limits<int64_t>::max();
    for (size_t i = 0; i < candidates.size(); ++i) {
      const int64_t hits = lfu_.estimate(candidates[i].key);
      if (hits < minimum) {
        minimum = hits;
        weakest = i;
      }
    }
    if (incoming < minimum) return {AddOutcome::Kind::Rejected, std::move(victims)};
    const PolicyPair victim = candidates[weakest];
    costs_.remove(victim.key);
    candidates[weakest] = candidates.back();
    candidates.pop_back();
    victims.push_back(victim);
  }
  costs_.insert(key, cost);
  return {AddOutcome::Kind::Added, std::move(victims)};
}

std::optional<std::vector<uint64_t>> LFUPolicy::push(std::vector<uint64_t> batch) {
  if (batch.empty()) return batch;
  if (!access_.try_send(batch)) return batch;
  return std::nullopt;
}

void LFUPolicy::remove(uint64_t key) {
  MutexLock lock(mutex_);
  costs_.remove(key);
}

void LFUPolicy::clear() {
  MutexLock lock(mutex_);
  lfu_.clear();
  costs_.clear();
}

void LFUPolicy::stop() { access_.close(); }

void LFUPolicy::record(std::span<const uint64_t> hashes) {
  MutexLock lock(mutex_);
  for (const uint64_t hash : hashes) count(hash);
}

int64_t LFUPolicy::estimate(uint64_t key) const {
  MutexLock lock(mutex_);
  return lfu_.estimate(key);
}

int64_t LFUPolicy::used() const {
  MutexLock lock(mutex_);
  return costs_.used();
}

int64_t LFUPolicy::peak_used() const {
  MutexLock lock(mutex_);
  return costs_.peak_used();
}

size_t LFUPolicy::len() const {
  MutexLock lock(mutex_);
  return costs_.size();
}

bool LFUPolicy::contains(uint64_t key) const { return cost_of(key).has_value(); }

std::optional<int64_t> LFUPolicy::cost_of(uint64_t key) const {
  MutexLock lock(mutex_);
  return costs_.cost_of(key);
}

uint64_t LFUPolicy::applied_batches() const {
  MutexLock lock(mutex_);
  return applied_batches_;
}

uint64_t LFUPolicy::counters() const {
  MutexLock lock(mutex_);
  return lfu_.reset_at();
}

// RingStripe -----------------------------------------------------------------

RingStripe::RingStripe(std::shared_ptr<LFUPolicy> policy)
    : policy_(std::move(policy)), stripes_(std::make_unique<Stripe[]>(kStripes)) {}

void RingStripe::push(uint64_t hash) {
  Stripe& stripe = stripes_[current_thread_stripe(kStripes)];
  std::vector<uint64_t> batch;
  {
    MutexLock lock(stripe.mutex);
    stripe.hashes.push_back(hash);
    if (stripe.hashes.size() < kCapacity) return;
    batch.reserve(kCapacity);
    batch.swap(stripe.hashes);
  }
  // A batch given back (the policy has stopped) is dropped: those reads are
  // not counted.
  static_cast<void>(policy_->push(std::move(batch)));
}

}  // namespace qel::engine
